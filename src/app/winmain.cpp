// The program's entry: everything it does lives in tm_app.
#include "app/app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int)
{
    return tickmend_main(instance, command_line);
}
