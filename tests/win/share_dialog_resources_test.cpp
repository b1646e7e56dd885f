// The share dialog's resources as linked into the module: template, bitmap and strings.
#include "resources/resource.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace
{

HMODULE module()
{
    return GetModuleHandleW(nullptr);
}

BOOL CALLBACK collect_language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR out)
{
    reinterpret_cast<std::set<LANGID>*>(out)->insert(language);
    return TRUE;
}

std::set<LANGID> string_block_languages(UINT id)
{
    std::set<LANGID> languages;
    EnumResourceLanguagesW(module(), RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), collect_language,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

// String id of exactly that language, read from its block of 16 counted strings.
std::wstring load_string(LANGID language, UINT id)
{
    HRSRC found = FindResourceExW(module(), RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!found)
        return L"(missing)";
    auto* p = static_cast<const WCHAR*>(LockResource(LoadResource(module(), found)));
    for (UINT i = 0; i < id % 16; ++i)
        p += 1 + *p;
    return std::wstring(p + 1, *p);
}

const std::vector<LANGID> k_languages = {0x0409, 0x0007, 0x000A, 0x000C, 0x0010, 0x001D, 0x0416,
                                         0x0411, 0x0412, 0x0804, 0x1004, 0x0404, 0x0C04, 0x1404};

TEST(Share_dialog_resources, EveryLanguageHasItsStrings)
{
    const std::set<LANGID> expected(k_languages.begin(), k_languages.end());
    // No language-neutral block may hide a language's 105 and 106.
    EXPECT_EQ(expected, string_block_languages(IDS_YES));
    EXPECT_EQ(expected, string_block_languages(IDS_SHARE_QUESTION));
    const wchar_t* yes[] = {L"&Yes",   L"Ja",     L"S\u00ed",      L"Oui",    L"S\u00ec",
                            L"Ja",     L"Sim",    L"\u306f\u3044", L"\uc608", L"\u662f",
                            L"\u662f", L"\u662f", L"\u662f",       L"\u662f"};
    const wchar_t* no[] = {L"&No",
                           L"Nein",
                           L"No",
                           L"Non",
                           L"No",
                           L"Nej",
                           L"N\u00e3o",
                           L"\u3044\u3044\u3048",
                           L"\uc544\ub2c8\uc624",
                           L"\u5426",
                           L"\u5426",
                           L"\u5426",
                           L"\u5426",
                           L"\u5426"};
    for (size_t i = 0; i < k_languages.size(); ++i)
    {
        LANGID language = k_languages[i];
        SCOPED_TRACE(language);
        EXPECT_EQ(yes[i], load_string(language, IDS_YES));
        EXPECT_EQ(no[i], load_string(language, IDS_NO));
        EXPECT_EQ(L"kvUsbRedirector", load_string(language, IDS_APP_TITLE));
        EXPECT_EQ(L"KVUSBREDIRECTOR", load_string(language, IDC_KVUSBREDIRECTOR));
        std::wstring question = load_string(language, IDS_SHARE_QUESTION);
        size_t marker = question.find(L"<>");
        ASSERT_NE(std::wstring::npos, marker);
        EXPECT_EQ(std::wstring::npos, question.find(L"<>", marker + 1));
        EXPECT_LT(question.size(), 1000u);
    }
}

TEST(Share_dialog_resources, EscapesAndNonAsciiTextSurviveTheResourceCompiler)
{
    EXPECT_EQ(L"Do you want to share the USB device <> with all connected users? \r\n\r\nFor you "
              L"to access this USB device, it will be visible and shared to all connected "
              L"Windows sessions. Click Yes to share the device, or click No to cancel the "
              L"redirection.",
              load_string(0x0409, IDS_SHARE_QUESTION));
    std::wstring french = load_string(0x000C, IDS_SHARE_QUESTION);
    EXPECT_NE(std::wstring::npos, french.find(L"connect\u00e9s\u00a0?\n\nLorsque"));
    EXPECT_EQ(L"la redirection.", french.substr(french.size() - 15));
    std::wstring swedish = load_string(0x001D, IDS_SHARE_QUESTION);
    EXPECT_EQ(L"omdirigeringen.\n\n\n\n\n", swedish.substr(swedish.size() - 20));
    std::wstring japanese = load_string(0x0411, IDS_SHARE_QUESTION);
    EXPECT_EQ(0u, japanese.find(L"USB \u30c7\u30d0\u30a4\u30b9 <> \u3092"));
    EXPECT_NE(std::wstring::npos, japanese.find(L"\uff1f\r\n"));
    EXPECT_EQ(load_string(0x0404, IDS_SHARE_QUESTION), load_string(0x1404, IDS_SHARE_QUESTION));
    EXPECT_EQ(load_string(0x0804, IDS_SHARE_QUESTION), load_string(0x1004, IDS_SHARE_QUESTION));
    EXPECT_NE(load_string(0x0804, IDS_SHARE_QUESTION), load_string(0x0404, IDS_SHARE_QUESTION));
}

// Reads a DLGTEMPLATEEX: header, then each item aligned to 4 bytes.
class Template_reader
{
  public:
    explicit Template_reader(const BYTE* start) : m_start(start), m_p(start) {}
    template <class T> T get()
    {
        T value;
        memcpy(&value, m_p, sizeof value);
        m_p += sizeof value;
        return value;
    }
    // A string or 0xFFFF followed by an ordinal, which comes back as "#n".
    std::wstring text()
    {
        WORD first = get<WORD>();
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(get<WORD>());
        std::wstring s;
        for (WORD c = first; c; c = get<WORD>())
            s += static_cast<wchar_t>(c);
        return s;
    }
    void align()
    {
        while ((m_p - m_start) % 4)
            ++m_p;
    }

  private:
    const BYTE* m_start;
    const BYTE* m_p;
};

TEST(Share_dialog_resources, DialogTemplateHasItsGeometryAndStyles)
{
    HRSRC found = FindResourceW(module(), MAKEINTRESOURCEW(IDD_WARNING_POPUP), RT_DIALOG);
    ASSERT_NE(nullptr, found);
    Template_reader t(static_cast<const BYTE*>(LockResource(LoadResource(module(), found))));
    EXPECT_EQ(1, t.get<WORD>());
    EXPECT_EQ(0xFFFF, t.get<WORD>());
    t.get<DWORD>(); // help id
    EXPECT_EQ(static_cast<DWORD>(WS_EX_TOPMOST), t.get<DWORD>());
    EXPECT_EQ(static_cast<DWORD>(DS_SETFONT | DS_FIXEDSYS | DS_3DLOOK | DS_CENTER |
                                 DS_SETFOREGROUND | WS_POPUP | WS_CAPTION | WS_SYSMENU),
              t.get<DWORD>());
    const WORD count = t.get<WORD>();
    ASSERT_EQ(5, count);
    EXPECT_EQ(0, t.get<short>());
    EXPECT_EQ(0, t.get<short>());
    EXPECT_EQ(316, t.get<short>());
    EXPECT_EQ(95, t.get<short>());
    EXPECT_EQ(L"", t.text()); // no menu
    EXPECT_EQ(L"", t.text()); // standard dialog class
    EXPECT_EQ(L"Kelvra USB Redirector", t.text());
    EXPECT_EQ(8, t.get<WORD>());
    EXPECT_EQ(400, t.get<WORD>());
    EXPECT_EQ(0, t.get<BYTE>());
    t.get<BYTE>(); // character set
    EXPECT_EQ(L"MS Shell Dlg", t.text());

    struct Item
    {
        int id;
        short x, y, cx, cy;
        std::wstring cls, text;
        DWORD style;
    } expected[] = {
        {IDOK, 201, 74, 50, 14, L"#128", L"OK", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON},
        {IDCANCEL, 259, 74, 50, 14, L"#128", L"Cancel", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON},
        {-1, 7, 7, 25, 21, L"Static", L"#137", WS_VISIBLE | SS_BITMAP},
        {IDC_WARNING_TEXT, 43, 7, 266, 63, L"#130", L"Static", WS_VISIBLE | WS_GROUP | SS_LEFT},
        {IDC_DEVICE_ID, 7, 80, 19, 8, L"#130", L"Static", WS_GROUP | SS_LEFT},
    };
    for (const Item& item : expected)
    {
        SCOPED_TRACE(item.id);
        t.align();
        t.get<DWORD>(); // help id
        EXPECT_EQ(0u, t.get<DWORD>());
        EXPECT_EQ(item.style | WS_CHILD, t.get<DWORD>());
        EXPECT_EQ(item.x, t.get<short>());
        EXPECT_EQ(item.y, t.get<short>());
        EXPECT_EQ(item.cx, t.get<short>());
        EXPECT_EQ(item.cy, t.get<short>());
        EXPECT_EQ(item.id, t.get<int>());
        std::wstring cls = t.text();
        std::transform(cls.begin(), cls.end(), cls.begin(), ::towlower);
        std::wstring want = item.cls;
        std::transform(want.begin(), want.end(), want.begin(), ::towlower);
        EXPECT_EQ(want, cls);
        EXPECT_EQ(item.text, t.text());
        EXPECT_EQ(0, t.get<WORD>()); // no creation data
    }
}

TEST(Share_dialog_resources, WarningBitmapIs37By34At24Bits)
{
    HANDLE image = LoadImageW(module(), MAKEINTRESOURCEW(IDB_WARNING), IMAGE_BITMAP, 0, 0,
                              LR_CREATEDIBSECTION);
    ASSERT_NE(nullptr, image);
    DIBSECTION dib{};
    ASSERT_EQ(static_cast<int>(sizeof dib), GetObjectW(image, sizeof dib, &dib));
    EXPECT_EQ(37, dib.dsBm.bmWidth);
    EXPECT_EQ(34, dib.dsBm.bmHeight);
    EXPECT_EQ(24, dib.dsBm.bmBitsPixel);
    DeleteObject(image);
}

} // namespace
