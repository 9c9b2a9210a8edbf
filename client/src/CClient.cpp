#include "ZEB/zeb_client.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ZEB/Client.h"

struct zeb_answer {
  ZEB::Answer answer;
  std::vector<std::pair<std::string, std::optional<std::string>>> fileErrors;
};

struct zeb_expectation {
  ZEB::Expectation expectation;
};

namespace {

zeb_status statusOf(const ZEB::Status& s) {
  switch (s.failure()) {
    case ZEB::Failure::kNone: return ZEB_OK;
    case ZEB::Failure::kNoSocket: return ZEB_NO_SOCKET;
    case ZEB::Failure::kPermissionDenied: return ZEB_PERMISSION_DENIED;
    case ZEB::Failure::kRefused: return ZEB_REFUSED;
    case ZEB::Failure::kClosed: return ZEB_CLOSED;
    case ZEB::Failure::kTimedOut: return ZEB_TIMED_OUT;
    case ZEB::Failure::kInvalidArgument: return ZEB_INVALID_ARGUMENT;
    case ZEB::Failure::kOther: return ZEB_OTHER;
  }
  return ZEB_OTHER;
}

zeb_answer* wrap(ZEB::Answer answer) {
  auto* out = new zeb_answer{std::move(answer), {}};
  if (out->answer.result && out->answer.result->fileErrors) {
    const auto& errors = *out->answer.result->fileErrors;
    if (errors.destination) out->fileErrors.emplace_back(*errors.destination, std::nullopt);
    for (const auto& [source, why] : errors.files) out->fileErrors.emplace_back(source, why);
  }
  return out;
}

// Hands each callback to the C function.
class CDelegate final : public ZEB::Delegate {
 public:
  CDelegate(zeb_callback callback, void* context) : callback_(callback), context_(context) {}
  void didReceive(const ZEB::Answer& answer) override {
    if (!callback_) return;
    std::unique_ptr<zeb_answer> wrapped(wrap(answer));
    callback_(context_, wrapped.get());
  }

 private:
  zeb_callback callback_;
  void* context_;
};

bool present(const char* s) { return s != nullptr; }

}  // namespace

struct zeb_client {
  // The delegate outlives the client: it is declared first, so it is destroyed last.
  CDelegate delegate;
  std::unique_ptr<ZEB::Client> client;
};

extern "C" {

const char* zeb_status_name(zeb_status status) {
  switch (status) {
    case ZEB_OK: return "ok";
    case ZEB_NO_SOCKET: return "no socket";
    case ZEB_PERMISSION_DENIED: return "permission denied";
    case ZEB_REFUSED: return "refused";
    case ZEB_CLOSED: return "closed";
    case ZEB_TIMED_OUT: return "timed out";
    case ZEB_INVALID_ARGUMENT: return "invalid argument";
    case ZEB_OTHER: return "other";
  }
  return "other";
}

zeb_status zeb_client_connect(const char* socket_path, int handshake_timeout_ms, zeb_callback callback, void* context,
                              zeb_client** client, const char** message) {
  thread_local std::string lastMessage;
  if (!client) return ZEB_INVALID_ARGUMENT;
  *client = nullptr;
  ZEB::Client::Options options;
  if (socket_path) options.socketPath = socket_path;
  if (handshake_timeout_ms > 0) options.handshakeTimeout = std::chrono::milliseconds(handshake_timeout_ms);
  auto out = std::make_unique<zeb_client>(zeb_client{CDelegate(callback, context), nullptr});
  ZEB::Status status;
  out->client = ZEB::Client::connect(options, &out->delegate, &status);
  if (!out->client) {
    lastMessage = status.message();
    if (message) *message = lastMessage.c_str();
    return statusOf(status);
  }
  *client = out.release();
  return ZEB_OK;
}

void zeb_client_free(zeb_client* client) { delete client; }

#define ZEB_CHECK(c) \
  if (!(c)) return ZEB_INVALID_ARGUMENT

zeb_status zeb_client_perform_ready_check(zeb_client* c) {
  ZEB_CHECK(c);
  return statusOf(c->client->performReadyCheck());
}
zeb_status zeb_client_show_privileges(zeb_client* c) {
  ZEB_CHECK(c);
  return statusOf(c->client->showPrivileges());
}
zeb_status zeb_client_stop_daemon(zeb_client* c) {
  ZEB_CHECK(c);
  return statusOf(c->client->stopDaemon());
}
zeb_status zeb_client_run_mobility_report(zeb_client* c, const char* f) {
  ZEB_CHECK(c && present(f));
  return statusOf(c->client->runMobilityReportWithDestination(f));
}
zeb_status zeb_client_run_sysdiagnose(zeb_client* c, const char* f) {
  ZEB_CHECK(c && present(f));
  return statusOf(c->client->runSysdiagnoseWithDestination(f));
}
zeb_status zeb_client_run_wifi_diagnose(zeb_client* c, const char* f) {
  ZEB_CHECK(c && present(f));
  return statusOf(c->client->runWifiDiagnoseWithDestination(f));
}
zeb_status zeb_client_run_bluetooth_diagnose(zeb_client* c, const char* f, const char* user) {
  ZEB_CHECK(c && present(f) && present(user));
  return statusOf(c->client->runBluetoothDiagnoseWithDestination(f, user));
}
zeb_status zeb_client_run_tm_diagnose(zeb_client* c, const char* f) {
  ZEB_CHECK(c && present(f));
  return statusOf(c->client->runTMDiagnoseWithDestination(f));
}
zeb_status zeb_client_run_mds_diagnose(zeb_client* c, const char* f) {
  ZEB_CHECK(c && present(f));
  return statusOf(c->client->runMDSDiagnoseWithDestination(f));
}
zeb_status zeb_client_sample_process(zeb_client* c, uint64_t pid, const char* f) {
  ZEB_CHECK(c && present(f));
  return statusOf(c->client->sampleProcessWithPID(pid, f));
}
zeb_status zeb_client_gather_syslogs(zeb_client* c, const char* f) {
  ZEB_CHECK(c && present(f));
  return statusOf(c->client->gatherSyslogsWithDestination(f));
}
zeb_status zeb_client_gather_install_logs(zeb_client* c, const char* f) {
  ZEB_CHECK(c && present(f));
  return statusOf(c->client->gatherInstallLogsWithDestination(f));
}
zeb_status zeb_client_copy_log_files(zeb_client* c, const char* const* sources, const char* const* destinations,
                                     size_t count) {
  ZEB_CHECK(c && (count == 0 || (sources && destinations)));
  std::map<std::string, std::string> files;
  for (size_t i = 0; i < count; ++i) {
    ZEB_CHECK(sources[i] && destinations[i]);
    files.insert_or_assign(sources[i], destinations[i]);
  }
  return statusOf(c->client->copyLogFiles(files));
}

zeb_expectation* zeb_client_expect(zeb_client* c, zeb_request request) {
  if (!c || request < ZEB_REQUEST_READY_CHECK || request > ZEB_REQUEST_COPY_LOG_FILES) return nullptr;
  return new zeb_expectation{c->client->expect(static_cast<ZEB::Request>(request))};
}

zeb_status zeb_expectation_wait(zeb_expectation* e, int timeout_ms, zeb_answer** answer) {
  ZEB_CHECK(e && timeout_ms >= 0);
  ZEB::Answer got;
  const ZEB::Status s = e->expectation.wait(std::chrono::milliseconds(timeout_ms), &got);
  if (answer) *answer = s.ok() ? wrap(std::move(got)) : nullptr;
  return statusOf(s);
}

void zeb_expectation_free(zeb_expectation* e) { delete e; }

const char* zeb_answer_selector(const zeb_answer* a) { return a ? a->answer.selector.c_str() : ""; }
const char* zeb_answer_text(const zeb_answer* a) { return a ? a->answer.text.c_str() : ""; }
int zeb_answer_has_result(const zeb_answer* a) { return a && a->answer.result ? 1 : 0; }
const char* zeb_answer_file_path(const zeb_answer* a) {
  return a && a->answer.result && a->answer.result->filePath ? a->answer.result->filePath->c_str() : nullptr;
}
int zeb_answer_pid(const zeb_answer* a, uint64_t* pid) {
  if (!a || !a->answer.result || !a->answer.result->pid) return 0;
  if (pid) *pid = *a->answer.result->pid;
  return 1;
}
size_t zeb_answer_file_error_count(const zeb_answer* a) { return a ? a->fileErrors.size() : 0; }
int zeb_answer_file_error(const zeb_answer* a, size_t index, const char** source, const char** message) {
  if (!a || index >= a->fileErrors.size()) return 0;
  const auto& [s, m] = a->fileErrors[index];
  if (source) *source = s.c_str();
  if (message) *message = m ? m->c_str() : nullptr;
  return 1;
}
int zeb_answer_has_error(const zeb_answer* a) { return a && a->answer.error ? 1 : 0; }
const char* zeb_answer_error_domain(const zeb_answer* a) {
  return a && a->answer.error ? a->answer.error->domain.c_str() : nullptr;
}
int64_t zeb_answer_error_code(const zeb_answer* a) { return a && a->answer.error ? a->answer.error->code : 0; }
const char* zeb_answer_error_description(const zeb_answer* a) {
  return a && a->answer.error ? a->answer.error->localizedDescription.c_str() : nullptr;
}
const char* zeb_answer_json(const zeb_answer* a) { return a ? a->answer.json.c_str() : ""; }
void zeb_answer_free(zeb_answer* a) { delete a; }

}  // extern "C"
