// Stands for the executable that the rootkit hides in a data stream of a
// file in the Windows directory and runs as a process. `make demo` copies
// it to C:\windows\<file>:<stream> in its Wine prefix (Wine keeps such a
// name as a file of its own) and starts it from there, so that a process
// of that name runs while the program looks for one. It only waits; the
// demo ends it with its Wine session.

#include <windows.h>

int main()
{
    Sleep(15 * 60 * 1000);
    return 0;
}
