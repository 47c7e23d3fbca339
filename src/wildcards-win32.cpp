#include "wildcards-win32.h"

#include <windows.h>

#include <vector>

namespace {

// What the system makes of '*', '?' and '.' before it matches (ntifs.h's
// DOS_STAR, DOS_QM and DOS_DOT); no file name can hold these characters.
constexpr wchar_t kUpToLastDot = L'<';  // any run that leaves the name's last dot
constexpr wchar_t kOneOrNone = L'>';    // one character but a dot; none at a dot or the end
constexpr wchar_t kDotOrEnd = L'"';     // a dot, or the end of the name

// The pattern as the system matches it.
std::wstring dos_form(const std::wstring& typed)
{
    if (typed == L"*.*")
        return L"*";
    std::wstring dos;
    for (size_t i = 0; i < typed.size(); ++i) {
        const bool last = i + 1 == typed.size();
        if (typed[i] == L'?')
            dos += kOneOrNone;
        else if (typed[i] == L'.' && last && i > 0 && typed[i - 1] == L'*')
            dos.back() = kUpToLastDot;
        else if (typed[i] == L'.' && !last && (typed[i + 1] == L'?' || typed[i + 1] == L'*'))
            dos += kDotOrEnd;
        else
            dos += typed[i];
    }
    return dos;
}

bool same_letter(wchar_t a, wchar_t b)
{
    return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

// Whether the pattern's element `p` may match no character where the rest of
// the name begins with `next` (0 at its end).
bool matches_none(wchar_t p, wchar_t next)
{
    return p == L'*' || p == kUpToLastDot || (p == kOneOrNone && (next == L'.' || next == 0)) ||
           (p == kDotOrEnd && next == 0);
}

// Whether the pattern's element `p` may take the character `c`, and stay for
// more (a run) or move on; `before_last_dot` tells whether a dot comes later.
bool takes(wchar_t p, wchar_t c, bool before_last_dot, bool& stays)
{
    stays = p == L'*' || p == kUpToLastDot;
    if (p == L'*')
        return true;
    if (p == kUpToLastDot)
        return c != L'.' || before_last_dot;
    if (p == kOneOrNone)
        return c != L'.';
    if (p == kDotOrEnd)
        return c == L'.';
    return same_letter(p, c);
}

}  // namespace

bool dir_matches(const std::wstring& pattern, const std::wstring& name)
{
    const std::wstring dos = dos_form(pattern);
    const size_t last_dot = name.rfind(L'.');
    // at[i]: whether the first i elements of the pattern match the name so far.
    std::vector<char> at(dos.size() + 1, 0);
    at[0] = 1;
    for (size_t n = 0;; ++n) {
        const wchar_t next = n < name.size() ? name[n] : 0;
        for (size_t i = 0; i < dos.size(); ++i)
            if (at[i] && matches_none(dos[i], next))
                at[i + 1] = 1;
        if (n == name.size())
            return at[dos.size()] != 0;
        std::vector<char> after(dos.size() + 1, 0);
        for (size_t i = 0; i < dos.size(); ++i) {
            bool stays = false;
            if (at[i] && takes(dos[i], next, last_dot != std::wstring::npos && n < last_dot, stays))
                after[stays ? i : i + 1] = 1;
        }
        at.swap(after);
    }
}
