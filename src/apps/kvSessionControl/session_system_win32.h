// The system's sessions, tokens, processes and the product key, for kvSessionControl running as
// LocalSystem; its log goes to %WINDIR%\Logs\kvUsbRedirector\kvSessionControl.log, to standard
// output, and (errors and warnings, with the account's SID) to the Application log under the
// kvUsbRedirector source.
#pragma once

#include "session_control.h"

Session_system& g_win32_session_system();

// After the product's removal: the stop request's value goes, and with it the product key and
// the manufacturer's key when nothing else is left in them. True when nothing failed.
bool g_forget_stop_request(Session_system& system);
