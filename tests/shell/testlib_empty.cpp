// A shared library that exports nothing (symbols are hidden by default).
int testlib_hidden_answer() { return 42; }
