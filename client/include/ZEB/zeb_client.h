/* The C interface of libzeb-client, for apps written in C or in languages that call C (Rust, Go,
 * Swift). Opaque handles; every string returned belongs to the handle it came from and lives as long
 * as that handle. Threads as in ZEB/Client.h: the callback runs on the client's own thread, one call
 * at a time; every function may be called from any thread, except zeb_expectation_wait on the
 * callback's thread. */
#ifndef ZEB_CLIENT_H
#define ZEB_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "ZEB/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zeb_client zeb_client;
typedef struct zeb_answer zeb_answer;
typedef struct zeb_expectation zeb_expectation;

typedef enum zeb_status {
  ZEB_OK = 0,
  ZEB_NO_SOCKET,
  ZEB_PERMISSION_DENIED,
  ZEB_REFUSED,
  ZEB_CLOSED,
  ZEB_TIMED_OUT,
  ZEB_INVALID_ARGUMENT,
  ZEB_OTHER
} zeb_status;

typedef enum zeb_request {
  ZEB_REQUEST_READY_CHECK,
  ZEB_REQUEST_SHOW_PRIVILEGES,
  ZEB_REQUEST_STOP_DAEMON,
  ZEB_REQUEST_MOBILITY_REPORT,
  ZEB_REQUEST_SYSDIAGNOSE,
  ZEB_REQUEST_WIFI_DIAGNOSE,
  ZEB_REQUEST_BLUETOOTH_DIAGNOSE,
  ZEB_REQUEST_TM_DIAGNOSE,
  ZEB_REQUEST_MDS_DIAGNOSE,
  ZEB_REQUEST_SAMPLE_PROCESS,
  ZEB_REQUEST_SYSLOGS,
  ZEB_REQUEST_INSTALL_LOGS,
  ZEB_REQUEST_COPY_LOG_FILES
} zeb_request;

/* Called for every callback the helper sends; `answer` is valid during the call only. */
typedef void (*zeb_callback)(void* context, const zeb_answer* answer);

ZEB_CLIENT_EXPORT const char* zeb_status_name(zeb_status status);

/* Connects (socket_path NULL: the default path) and completes the handshake within
 * handshake_timeout_ms (0: 10 s). `callback` may be NULL. On failure *client is NULL, and *message,
 * when given, points to a text that stays valid until the next failed connect on this thread. */
ZEB_CLIENT_EXPORT zeb_status zeb_client_connect(const char* socket_path, int handshake_timeout_ms,
                                                zeb_callback callback, void* context, zeb_client** client,
                                                const char** message);
/* Ends the connection; once it returns on another thread the callback no longer runs. */
ZEB_CLIENT_EXPORT void zeb_client_free(zeb_client* client);

/* The requests; paths must be absolute. */
ZEB_CLIENT_EXPORT zeb_status zeb_client_perform_ready_check(zeb_client* client);
ZEB_CLIENT_EXPORT zeb_status zeb_client_show_privileges(zeb_client* client);
ZEB_CLIENT_EXPORT zeb_status zeb_client_stop_daemon(zeb_client* client);
ZEB_CLIENT_EXPORT zeb_status zeb_client_run_mobility_report(zeb_client* client, const char* folder);
ZEB_CLIENT_EXPORT zeb_status zeb_client_run_sysdiagnose(zeb_client* client, const char* folder);
ZEB_CLIENT_EXPORT zeb_status zeb_client_run_wifi_diagnose(zeb_client* client, const char* folder);
ZEB_CLIENT_EXPORT zeb_status zeb_client_run_bluetooth_diagnose(zeb_client* client, const char* folder,
                                                               const char* short_user_name);
ZEB_CLIENT_EXPORT zeb_status zeb_client_run_tm_diagnose(zeb_client* client, const char* folder);
ZEB_CLIENT_EXPORT zeb_status zeb_client_run_mds_diagnose(zeb_client* client, const char* folder);
ZEB_CLIENT_EXPORT zeb_status zeb_client_sample_process(zeb_client* client, uint64_t pid, const char* file);
ZEB_CLIENT_EXPORT zeb_status zeb_client_gather_syslogs(zeb_client* client, const char* folder);
ZEB_CLIENT_EXPORT zeb_status zeb_client_gather_install_logs(zeb_client* client, const char* folder);
ZEB_CLIENT_EXPORT zeb_status zeb_client_copy_log_files(zeb_client* client, const char* const* sources,
                                                       const char* const* destinations, size_t count);

/* The blocking wait: expect before sending, then wait for that request's answer. On ZEB_OK
 * *answer (when given) is the answer, to be freed with zeb_answer_free. */
ZEB_CLIENT_EXPORT zeb_expectation* zeb_client_expect(zeb_client* client, zeb_request request);
ZEB_CLIENT_EXPORT zeb_status zeb_expectation_wait(zeb_expectation* expectation, int timeout_ms, zeb_answer** answer);
ZEB_CLIENT_EXPORT void zeb_expectation_free(zeb_expectation* expectation);

/* An answer: its selector ("sysDiagnoseDidFinish:error:"), the text of "helperReadyWithVersion:"
 * and "logMessage:" (else ""), the result's "filePath" and "pid", its "fileErrors" (each source not
 * copied with its reason; the destination a log request could not use is one entry whose message
 * is NULL), and the error. */
ZEB_CLIENT_EXPORT const char* zeb_answer_selector(const zeb_answer* answer);
ZEB_CLIENT_EXPORT const char* zeb_answer_text(const zeb_answer* answer);
ZEB_CLIENT_EXPORT int zeb_answer_has_result(const zeb_answer* answer);
ZEB_CLIENT_EXPORT const char* zeb_answer_file_path(const zeb_answer* answer); /* NULL when absent */
ZEB_CLIENT_EXPORT int zeb_answer_pid(const zeb_answer* answer, uint64_t* pid); /* 1 when present */
ZEB_CLIENT_EXPORT size_t zeb_answer_file_error_count(const zeb_answer* answer);
ZEB_CLIENT_EXPORT int zeb_answer_file_error(const zeb_answer* answer, size_t index, const char** source,
                                            const char** message);
ZEB_CLIENT_EXPORT int zeb_answer_has_error(const zeb_answer* answer);
ZEB_CLIENT_EXPORT const char* zeb_answer_error_domain(const zeb_answer* answer); /* NULL: no error */
ZEB_CLIENT_EXPORT int64_t zeb_answer_error_code(const zeb_answer* answer);
ZEB_CLIENT_EXPORT const char* zeb_answer_error_description(const zeb_answer* answer);
/* The whole callback as one line of JSON. */
ZEB_CLIENT_EXPORT const char* zeb_answer_json(const zeb_answer* answer);
ZEB_CLIENT_EXPORT void zeb_answer_free(zeb_answer* answer);

#ifdef __cplusplus
}
#endif

#endif
