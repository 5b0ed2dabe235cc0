/* Uses the installed remote-control library: its command table. */
#include <oprc.h>
#include <stdio.h>

int main(void) {
    int count = oprc_command_count();
    printf("remote-control library, %d commands\n", count);
    return count > 0 ? 0 : 1;
}
