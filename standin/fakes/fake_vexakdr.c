/* Fake native libraries with fixed behaviours, for tests and benchmarks of the
 * architecture query.  One source, one behaviour per compile definition:
 *   FAKE_ANSWER_128   status 0, answer "128"
 *   FAKE_FULL_BUFFER  status 0, every byte of the buffer 'x' (no zero byte)
 *   FAKE_EMPTY        status 0, nothing written
 *   FAKE_FAILURE      status 1, "999" written anyway
 *   FAKE_BAD_UTF8     status 0, a byte that is not UTF-8
 *   FAKE_ECHO_NAME    status 0, the parameter name (truncated to fit)
 *   FAKE_NO_ENTRY     no HwinquireParameter_Py at all
 */
#include <stddef.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

#ifdef FAKE_NO_ENTRY
EXPORT int SomethingElse(void) { return 0; }
#else
EXPORT int HwinquireParameter_Py(const char* arch, const char* param_name, char* result, size_t result_size) {
    (void)arch;
    (void)param_name;
    (void)result;
    (void)result_size;
#if defined(FAKE_ANSWER_128)
    memcpy(result, "128", 4);
    return 0;
#elif defined(FAKE_FULL_BUFFER)
    memset(result, 'x', result_size);
    return 0;
#elif defined(FAKE_EMPTY)
    return 0;
#elif defined(FAKE_FAILURE)
    memcpy(result, "999", 4);
    return 1;
#elif defined(FAKE_BAD_UTF8)
    result[0] = (char)0xff;
    result[1] = '\0';
    return 0;
#elif defined(FAKE_ECHO_NAME)
    strncpy(result, param_name, result_size - 1);
    result[result_size - 1] = '\0';
    return 0;
#endif
}
#endif
