// The sanitizer settings of every test program, built in rather than taken
// from the environment, which CTest's test discovery cannot pass on whole.
// Without the sanitizers nothing calls these.
extern "C" const char* __asan_default_options() {
    // An allocation test asks for more than any machine has.
    return "allocator_may_return_null=1:detect_leaks=1";
}

extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }

// The thread sanitizer stops a test at its first report.
extern "C" const char* __tsan_default_options() { return "halt_on_error=1:second_deadlock_stack=1"; }
