/* Uses the installed playback engine: its version. */
#include <oppb.h>
#include <stdio.h>

int main(void) {
    const char *version = oppb_version();
    printf("playback engine %s\n", version);
    return version && *version ? 0 : 1;
}
