/*
 *  Tunova's engine settings, placed into the build's copy of duk_config.h.
 *
 *  The engine evaluates text that comes from a remote server, so every evaluation is bounded:
 *  a time limit checked by the bytecode executor, a check of the native stack before deep
 *  recursion, and lower recursion limits for the compiler and the JSON decoder. The native stack
 *  check also fails once the evaluation's deadline has passed: it runs at every step of the
 *  built-ins that never reach the executor (regular-expression matching, JSON encoding and
 *  decoding, number conversion, calls, and the sort, where the build adds it), so they are
 *  bounded by the same limit. The memory cap is applied by the allocator the holder installs
 *  (json/script_engine.cpp).
 */
#if !defined(DUK_USE_INTERRUPT_COUNTER)
#define DUK_USE_INTERRUPT_COUNTER
#endif
#undef DUK_USE_EXEC_TIMEOUT_CHECK
#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) tunova_duk_exec_timeout_check(udata)
#undef DUK_USE_NATIVE_STACK_CHECK
#define DUK_USE_NATIVE_STACK_CHECK() tunova_duk_native_stack_check()
#undef DUK_USE_COMPILER_RECLIMIT
#define DUK_USE_COMPILER_RECLIMIT 1000
#undef DUK_USE_JSON_DEC_RECLIMIT
#define DUK_USE_JSON_DEC_RECLIMIT 1000
#undef DUK_USE_JSON_ENC_RECLIMIT
#define DUK_USE_JSON_ENC_RECLIMIT 1000
#undef DUK_USE_REGEXP_COMPILER_RECLIMIT
#define DUK_USE_REGEXP_COMPILER_RECLIMIT 1000
#if defined(__cplusplus)
extern "C" {
#endif
int tunova_duk_exec_timeout_check(void* udata);
int tunova_duk_native_stack_check(void);
#if defined(__cplusplus)
}
#endif
