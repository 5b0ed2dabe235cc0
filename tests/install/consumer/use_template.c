/* Uses the installed template library: its version, and a bundle it can read. */
#include <optpl.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    static const char bundle[] = "{\"a.json\":\"{\\\"Settings\\\":[]}\"}";
    if (optpl_load_bundle_bytes((const unsigned char *)bundle, strlen(bundle)) != OPTPL_OK) return 1;
    printf("template library %s, %d template\n", optpl_version(), optpl_template_count());
    return optpl_template_count() == 1 ? 0 : 1;
}
