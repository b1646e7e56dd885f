#include "usb_packet_negotiate.h"

void Usb_packet_negotiate::process_return() {}
