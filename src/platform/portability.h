// Portability functions the lock layer and the string helpers use.
#ifndef KYLIBCURL_PLATFORM_PORTABILITY_H
#define KYLIBCURL_PLATFORM_PORTABILITY_H

#include <pthread.h>
#include <strings.h>

#include <cstddef>

inline pthread_t GetCurrentThreadId() { return pthread_self(); }

inline int _strnicmp(const char* a, const char* b, size_t n) { return strncasecmp(a, b, n); }

#endif
