#include "warning_popup.h"

#include "../debug/usb_debug.h"
#include "../portable/share_question.h"
#include "../resources/resource.h"
#include "../packets/usb_device_list.h"
#include "../packets/device_life.h"
#include "../platform/overlapped_call.h"
#include "../platform/owned.h"
#include "../platform/seams.h"
#include "app_globals.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cwchar>

namespace
{

constexpr UINT_PTR k_timer_id = 1;
constexpr int k_question_chars = 1000;

// The id as the dialog wrote it, signed decimal; false unless the whole text is one.
bool dialog_device_id(HWND hDlg, uint32_t* device_id)
{
    wchar_t text[16];
    if (GetDlgItemTextW(hDlg, IDC_DEVICE_ID, text, ARRAYSIZE(text)) == 0)
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    const long long value = std::wcstoll(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || value < INT32_MIN || value > INT32_MAX)
        return false;
    *device_id = static_cast<uint32_t>(static_cast<int32_t>(value));
    return true;
}

// The device's display name as a heap string, or nullptr where "Unknown" stands: no name in the
// record, or no entry any more (erased between the open reply and the dialog's start; the
// timer then ends the dialog).
Owned_block<wchar_t> load_display_name(uint32_t device_id)
{
    const Device_list_hold hold;
    Owned_block<wchar_t> name;
    if (Usb_device_record* record = g_find_device_record(device_id))
    {
        const BYTE* bytes = g_record_bytes(record);
        kv::Name_span span = kv::display_name_span(bytes, kv::record_length(bytes));
        if (span.present)
            name.reset(static_cast<wchar_t*>(std::malloc((span.count + 1) * sizeof(wchar_t))));
        if (name)
        {
            int converted =
                span.count == 0
                    ? 0
                    : MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED,
                                          reinterpret_cast<const char*>(bytes + span.offset),
                                          static_cast<int>(span.count), name.get(),
                                          static_cast<int>(span.count));
            name.get()[converted > 0 ? converted : 0] = 0;
        }
    }
    return name;
}

void set_caption(HWND hDlg, int control, UINT string_id)
{
    wchar_t caption[100];
    if (LoadStringW(g_instance, string_id, caption, 100) > 0)
        SetDlgItemTextW(hDlg, control, caption);
}

void init_dialog(HWND hDlg, uint32_t device_id)
{
    SetDlgItemInt(hDlg, IDC_DEVICE_ID, device_id, TRUE);
    const Owned_block<wchar_t> name = load_display_name(device_id);
    HICON icon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_KVUSBREDIRECTOR));
    if (icon)
        SendMessageW(hDlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    wchar_t question[k_question_chars];
    if (LoadStringW(g_instance, IDS_SHARE_QUESTION, question, k_question_chars) <= 0)
        question[0] = 0;
    // A question that no longer fits once the name is in is cut at 999 characters.
    wchar_t text[k_question_chars];
    kv::compose_question(text, k_question_chars, question, name ? name.get() : L"Unknown");
    SetDlgItemTextW(hDlg, IDC_WARNING_TEXT, text);
    set_caption(hDlg, IDOK, IDS_YES);
    set_caption(hDlg, IDCANCEL, IDS_NO);
    // Focus joins the default button on the no answer, so Enter declines.
    PostMessageW(hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hDlg, IDCANCEL)), TRUE);
    SetTimer(hDlg, k_timer_id, k_warning_popup_timer_ms, nullptr);
}

// The question of the dialog on this thread: one dialog a thread.
thread_local Share_question t_asked;

// The answer to this dialog's question. The id the dialog shows must still read back as the
// question's: otherwise nothing is plugged in, the device shown as declined as after a lapse.
void answer(HWND hDlg, Share_reply reply)
{
    uint32_t device_id = 0;
    if (!dialog_device_id(hDlg, &device_id) || device_id != t_asked.device_id)
    {
        g_log(3, L"Warning_popup::WarningPopupDlgProc() - device id unreadable, nothing "
                 L"plugged in");
        reply = Share_reply::timer;
    }
    g_device_answer(t_asked.device_id, t_asked.ticket, reply);
}

void end_dialog(HWND hDlg, INT_PTR result)
{
    KillTimer(hDlg, k_timer_id);
    EndDialog(hDlg, result);
}

} // namespace

DWORD WINAPI g_start_warning_popup(LPVOID context)
{
    const Thread_io_scope io; // for the plug-in a yes makes
    const Owned_block<Share_question> block(static_cast<Share_question*>(context));
    t_asked = block ? *block : Share_question{};
    const Share_question& asked = t_asked;
    SetLastError(ERROR_SUCCESS);
    const INT_PTR result = DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_WARNING_POPUP), nullptr,
                                           WarningPopupDlgProc, asked.device_id);
    if (result == -1 || result == 0)
    {
        const DWORD error = GetLastError();
        g_device_answer(asked.device_id, asked.ticket, Share_reply::cannot_show);
        g_log(2, L"Warning_popup::g_start_warning_popup() - DialogBoxParam failed - error:%d",
              error);
    }
    else
        g_log(4, L"Warning_popup::g_start_warning_popup() - dialog ended device:%d result:%d",
              asked.device_id, static_cast<int>(result));
    return 1;
}

INT_PTR CALLBACK WarningPopupDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG:
        init_dialog(hDlg, static_cast<uint32_t>(lParam));
        return TRUE;
    case WM_COMMAND:
        // A yes after the entry has gone plugs nothing in and still ends with 1; a no leaves the
        // entry pending_return.
        if (wParam == IDOK || wParam == IDCANCEL)
        {
            answer(hDlg, wParam == IDOK ? Share_reply::yes : Share_reply::no);
            end_dialog(hDlg, static_cast<INT_PTR>(wParam));
        }
        return TRUE;
    case WM_TIMER:
    {
        // Ends once its question is no longer open: the entry erased, or listed anew.
        if (!g_device_awaits(t_asked.device_id, t_asked.ticket))
            end_dialog(hDlg, IDCANCEL);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

void g_ask_to_share(uint32_t device_id, uint64_t ticket)
{
    // The dialog's thread takes the context over once it starts.
    Owned_block<Share_question> context(
        static_cast<Share_question*>(std::malloc(sizeof(Share_question))));
    Owned_handle thread;
    if (context)
    {
        *context = {device_id, ticket};
        thread.reset(g_seams.create_thread(g_start_warning_popup, context.get()));
    }
    if (thread)
        static_cast<void>(context.release()); // the dialog's thread frees it
    else                                      // the device is not shared unasked
    {
        g_log(2,
              L"Usb_packet_open::process_return() - share dialog not started for device: "
              L"%d - error:%d",
              device_id, GetLastError());
        g_device_answer(device_id, ticket, Share_reply::cannot_show);
    }
}
