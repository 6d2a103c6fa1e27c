/*
 * Extras of the host platform library that the device's services do not
 * have: a hook that lets a program or a test see every trace line.
 */
#ifndef YVK_HOST_PLATFORM_H
#define YVK_HOST_PLATFORM_H

#ifdef __cplusplus
extern "C" {
#endif

/* Receives every trace line, whatever the level filter says, after the
 * message has been formatted (without its trailing newline). */
typedef void (*YVKTraceSink)(void *context, int level, const char *module,
                             const char *function, const char *message);

/* Installs a sink (null removes it).  Safe from any thread. */
void YVK_HostSetTraceSink(YVKTraceSink sink, void *context);

#ifdef __cplusplus
}
#endif

#endif /* YVK_HOST_PLATFORM_H */
