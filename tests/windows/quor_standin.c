/* A stand-in for the game executable quor.exe in the Windows end-to-end
   check: it records that it was started, with its command line and
   current folder, in quor_started.txt in its current folder, and ends. */
#include <stdio.h>
#include <windows.h>

int
main (void)
{
    char folder [MAX_PATH];
    FILE * record;

    if (GetCurrentDirectoryA (sizeof (folder), folder) == 0)
      folder [0] = '\0';
    record = fopen ("quor_started.txt", "w");
    if (record == NULL)
      return 1;
    fprintf (record, "command line: %s\nfolder: %s\n", GetCommandLineA (), folder);
    fclose (record);
    return 0;
}
