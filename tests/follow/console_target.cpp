// console_target.exe [MS]: a console program with no window, as a server or a console game
// is to the follower; it runs until it is ended, or for MS milliseconds.
#include <windows.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    Sleep(argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : INFINITE);
    return 0;
}
