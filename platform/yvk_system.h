/*
 * Trace, memory and sleep services of the device.  The core calls only these
 * declarations; the device's own library or the host platform library of this
 * project implements them.
 */
#ifndef YVK_SYSTEM_H
#define YVK_SYSTEM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Trace levels. */
#define YVK_TRACE_ERROR 1
#define YVK_TRACE_INFO 2
#define YVK_TRACE_DEBUG 3

/* One trace line: module tag, level, source name, line, function name, then a
 * printf format and its arguments.  Callable from any thread. */
void YVK_Trace(const char *module, int level, const char *source, int line,
               const char *function, const char *format, ...)
    __attribute__((format(printf, 6, 7)));

/* Zero-filled memory of the requested size, or null.  align and flags are 0
 * for ordinary memory; the source position names the caller for leak reports. */
void *YVK_Malloc(size_t size, int align, int flags, const char *source, int line,
                 const char *function);
void YVK_Free(void *memory);

/* Sleeps the calling thread for the given number of milliseconds. */
void YVK_ThreadSleep(unsigned int milliseconds);

#ifdef __cplusplus
}
#endif

/* Shorthand for a unit that defines YVK_TRACE_MODULE before including this. */
#define YVK_TRACE(level, ...) \
    YVK_Trace(YVK_TRACE_MODULE, (level), __FILE__, __LINE__, __func__, __VA_ARGS__)
#define YVK_MALLOC(size) YVK_Malloc((size), 0, 0, __FILE__, __LINE__, __func__)

#endif /* YVK_SYSTEM_H */
