// What the Windows platform files share: handles, errors, waiting for another
// program to let go of a file, and the console.
#ifndef XMLSTAMP_PLATFORM_WIN32_H_
#define XMLSTAMP_PLATFORM_WIN32_H_

#include <windows.h>

#include "platform.h"

inline HANDLE handle_of(native_handle file)
{
    return reinterpret_cast<HANDLE>(file);
}

inline native_handle native(HANDLE handle)
{
    return reinterpret_cast<native_handle>(handle);
}

// GetLastError, and never 0.
int failure();

// Whether a call failed only because another program has the file open
// without sharing it with us, or has locked a part of it.
bool in_use(int error);

// The same, or any other hold that an editor, an indexer or a virus scanner
// soon lets go of.
bool held_by_another(int error);

// Calls `attempt` until it returns 0 or an error that `held` does not count,
// or for about a second, pausing longer each time.
template <class Attempt> int with_retries(Attempt attempt, bool (*held)(int) = held_by_another)
{
    int error = attempt();
    for (DWORD pause = 8, waited = 0; error != 0 && held(error) && waited < 1000; pause *= 2) {
        Sleep(pause);
        waited += pause;
        error = attempt();
    }
    return error;
}

// Has Ctrl-C, Ctrl-Break and a closed console end the run without a staging
// file left behind.
void watch_console_events();

// Gives the console back the output code page it had before the tool.
void restore_console();

#endif  // XMLSTAMP_PLATFORM_WIN32_H_
