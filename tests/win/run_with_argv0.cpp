// Starts a program with a command line of the caller's choosing, so that its
// argv[0] can be anything:  run_with_argv0 EXE "COMMAND LINE"
// The child shares this program's standard handles; the exit code is its own.
#include <windows.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 3)
    {
        fputs("usage: run_with_argv0 EXE \"COMMAND LINE\"\n", stderr);
        return 125;
    }
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!CreateProcessA(argv[1], argv[2], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
    {
        fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
        return 126;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 126;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return (int)code;
}
