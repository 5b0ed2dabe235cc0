// A shared library with three of the template library's entry points.
#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED const char *optpl_version() { return "0.subset"; }
EXPORTED int optpl_focus_count() { return 7; }
EXPORTED const char *optpl_last_error() { return "subset library"; }
