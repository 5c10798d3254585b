/*
 * ROWVANE library interface.
 *
 * A host program runs unloads through five functions: allocate a handle, set
 * keyword=value options on it (the same texts the command line takes), install
 * a message callback, execute, free. Link with -lrowvane (pkg-config rowvane).
 *
 * Not offered through this interface (the console program's driver does
 * these): parameter files, :name=value bind variables, reading SQL text from
 * the file named by sql=, encrypted logins (user= is used literally; crypt=
 * and uncrack= have no effect), turning charset=/ncharset= names into ids
 * (the client's default character sets apply), and parallel unloads (split=
 * and degree= have no effect; a handle always runs one job as piece 1).
 */
#ifndef ROWVANE_H
#define ROWVANE_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(ROWVANE_BUILDING_LIBRARY)
#define ROWVANE_API __declspec(dllexport)
#else
#define ROWVANE_API __declspec(dllimport)
#endif
#else
#define ROWVANE_API __attribute__((visibility("default")))
#endif

/* An unload job. Owned by the library; released only by ROWVANEHandleFree. */
typedef void* ROWVANEHandle;

/*
 * Receives every message line of a run (database error texts, progress and
 * closing lines, file errors). text is NUL-terminated, normally ends in a line
 * feed, and is valid only during the call. The callback is called on the
 * thread that runs ROWVANEHandleExecute; when several handles run on several
 * threads at once with the same callback, it must be safe for that.
 */
typedef void (*ROWVANEMessageCallback)(void* user_data, const char* text);

/*
 * Allocates a new handle holding the default options and stores it in
 * *handle (null when memory is exhausted: test it). Always returns 0.
 */
ROWVANE_API int ROWVANEHandleAlloc(ROWVANEHandle* handle);

/*
 * Applies one keyword=value text (for example "user=scott/tiger@orcl",
 * "text=CSV") to the handle. An output-type preset applies all of its options
 * in this one call. Returns 1 when the option was applied, 0 when its keyword
 * is unknown or its value refused (a switch other than YES, ON, TRUE, Y, 1,
 * NO, OFF, FALSE, N, 0; a text= or format= value not listed; a number that
 * is none; degree outside 1 to 128); the handle is then unchanged. handle
 * must come from ROWVANEHandleAlloc; the text is not kept.
 */
ROWVANE_API int ROWVANEHandleSetAttr(ROWVANEHandle handle, const char* text);

/*
 * Installs the message callback and its user data. With a null callback the
 * default applies: each line is written to the job's log (standard output, or
 * the file named by log=) and flushed. With a callback and null user_data,
 * the callback receives the run's internal session record as user data.
 * Does nothing when handle is null.
 */
ROWVANE_API void ROWVANEHandleCallback(ROWVANEHandle handle, void* user_data,
                                       ROWVANEMessageCallback callback);

/*
 * Runs one complete unload on the calling thread: connect, session set-up,
 * statement, description, data files, disconnect. Each call is a new run that
 * connects again and opens its output files anew. Returns 0 on success,
 * otherwise: -1 login failed, 1 options refused before the login (a .gz
 * level above 12, text=JSON with a charset that is not UTF-8), 2 write
 * failed, 3 query failed, 5 description failed, 6 a file could not be
 * opened (or an output is the database file or another output of the run),
 * 7 fetch failed (or, with text=JSON and badchar=ERROR, a value that is not
 * UTF-8), 8 presql failed, 9 postsql
 * failed, 141 the reader of a pipe the data went to closed it. A handle must
 * not be executed from two threads at once; distinct handles may run on
 * distinct threads at the same time.
 *
 * Signals belong to the host: the library installs no signal handler and
 * leaves SIGPIPE as the host set it (a host that ignores SIGPIPE gets 141
 * when standard output or a pipe is closed under a run; otherwise the signal
 * ends the process as usual). SIGINT, SIGTERM and SIGHUP do not stop a run
 * started here at a record boundary as they do in the console program: they
 * have whatever effect the host gave them.
 */
ROWVANE_API int ROWVANEHandleExecute(ROWVANEHandle handle);

/* Releases the handle. A null handle is accepted and ignored. */
ROWVANE_API void ROWVANEHandleFree(ROWVANEHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* ROWVANE_H */
