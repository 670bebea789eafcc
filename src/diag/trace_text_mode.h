// The flag handed to libcurl as the trace's debug data: the tracer reads it as dumpTrace's textOnly.
#ifndef KYLIBCURL_DIAG_TRACE_TEXT_MODE_H
#define KYLIBCURL_DIAG_TRACE_TEXT_MODE_H

// One byte holding 1, so every trace switched on by toggleTrace is written in text mode. It lives as long
// as the library, since libcurl keeps its address for as long as tracing is on.
extern char g_traceTextOnly;

#endif
