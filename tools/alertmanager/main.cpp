// hubd-alertmanager: plays hubd on the event socket and forwards every event
// to one or more Alertmanagers (HTTP API v2, POST /api/v2/alerts). The alert
// scheme and the delivery queue are in amBridge.h.
//
// Threads: the main thread receives and maps events; one delivery thread per
// Alertmanager (its own queue and HTTP handle); one refresh thread re-queues
// the active clearable problems. Shared: the bridge (its own lock) and the
// queues (their own locks).
#include <curl/curl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "amBridge.h"
#include "eventCatalog.h"
#include "vprobReceiver.h"
#include "vprobRecordReader.h"

namespace {

const char kUsage[] =
    "Usage: hubd-alertmanager [--url URL]... [--dry-run] [OPTIONS]\n"
    "Plays hubd: listens on $KELD_ROOT/var/run/ombrel/hubd-vprob.sock and forwards\n"
    "every event keld posts to each Alertmanager as an alert (POST URL/api/v2/alerts).\n"
    "  --url URL          an Alertmanager, e.g. http://127.0.0.1:9093; repeat it for\n"
    "                     each member of a cluster: every one receives every alert\n"
    "  --dry-run          print the JSON that would be posted, one array per event\n"
    "                     and line, and post nothing (--url is then not needed)\n"
    "  --hostname NAME    the hostname label (default: this machine's name; \"\" omits it)\n"
    "  --expire SECONDS   how long an alert stays firing unless renewed (default 3600);\n"
    "                     problems that a clear ends are renewed every quarter of it\n"
    "  --audits WHERE     alertmanager (default: severity info) or log (stderr only)\n"
    "  --queue N          alerts held per Alertmanager while it cannot be reached\n"
    "                     (default 10000); when full the oldest are dropped\n"
    "  --retry-min MS     first wait before a failed post is retried (default 1000);\n"
    "  --retry-max MS     it doubles up to this (default 60000)\n"
    "  --help             this text\n"
    "SIGTERM and SIGINT end it with status 0, after up to 2 seconds spent\n"
    "delivering what is queued. Diagnostics go to standard error.\n";

volatile sig_atomic_t g_stop = 0;
void OnTerminate(int) { g_stop = 1; }

[[noreturn]] void Die(const std::string &reason, int status = 2) {
  fprintf(stderr, "hubd-alertmanager: %s\n", reason.c_str());
  exit(status);
}

void Log(const std::string &line) { fprintf(stderr, "hubd-alertmanager: %s\n", line.c_str()); }

int64_t NowUs() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

long long Number(const std::string &option, const std::string &value, long long min) {
  char *end = nullptr;
  errno = 0;
  long long n = strtoll(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || n < min) {
    Die(option + " needs an integer of at least " + std::to_string(min) + ", got \"" + value + "\"");
  }
  return n;
}

size_t Discard(char *, size_t size, size_t count, void *) { return size * count; }

// One HTTP post of a batch to `url`/api/v2/alerts on this thread's handle.
SendResult Post(CURL *curl, const std::string &url, const std::string &body, std::string *lastError) {
  std::string endpoint = url + (url.empty() || url.back() != '/' ? "/" : "") + "api/v2/alerts";
  struct curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, endpoint.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  std::string error = rc != CURLE_OK ? curl_easy_strerror(rc) : "HTTP " + std::to_string(status);
  SendResult result = rc == CURLE_OK && status >= 200 && status < 300 ? SendResult::Sent
                      : rc == CURLE_OK && status >= 400 && status < 500 && status != 429 ? SendResult::Reject
                                                                                          : SendResult::Retry;
  // One line when an Alertmanager becomes unreachable or rejects, not one per retry.
  if (result == SendResult::Reject) Log(url + " rejected " + body.substr(0, 200) + ": " + error);
  if (result == SendResult::Retry && *lastError != error) Log(url + " unreachable (" + error + "); retrying");
  if (result == SendResult::Sent && !lastError->empty()) Log(url + " reachable again");
  *lastError = result == SendResult::Sent ? "" : error;
  return result;
}

struct Target {
  std::string url;
  std::unique_ptr<AlertQueue> queue;
  std::thread thread;
};

int Run(int argc, char **argv) {
  BridgeOptions options;
  std::vector<std::string> urls;
  bool dryRun = false;
  size_t capacity = 10000;
  long long retryMin = 1000, retryMax = 60000;
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) == 0) options.hostName = host;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Die(arg + " needs a value (see --help)");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--url") {
      urls.push_back(value());
      if (urls.back().rfind("http://", 0) != 0 && urls.back().rfind("https://", 0) != 0) {
        Die("--url takes an http:// or https:// URL, not \"" + urls.back() + "\"");
      }
    } else if (arg == "--dry-run") {
      dryRun = true;
    } else if (arg == "--hostname") {
      options.hostName = value();
    } else if (arg == "--expire") {
      options.expireSeconds = Number(arg, value(), 1);
    } else if (arg == "--audits") {
      std::string where = value();
      if (where != "alertmanager" && where != "log") Die("--audits takes alertmanager or log, not \"" + where + "\"");
      options.auditsToAlertmanager = where == "alertmanager";
    } else if (arg == "--queue") {
      capacity = static_cast<size_t>(Number(arg, value(), 1));
    } else if (arg == "--retry-min") {
      retryMin = Number(arg, value(), 1);
    } else if (arg == "--retry-max") {
      retryMax = Number(arg, value(), 1);
    } else {
      Die("unknown argument \"" + arg + "\" (see --help)");
    }
  }
  if (urls.empty() && !dryRun) Die("no Alertmanager: give --url URL (or --dry-run)");
  if (retryMax < retryMin) retryMax = retryMin;

  struct sigaction sa {};
  sa.sa_handler = OnTerminate;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) Die("cannot initialise libcurl", 1);

  std::string error;
  int listener = VProbReceiver_Listen("hubd-alertmanager", &error);
  if (listener < 0) Die(error, 1);

  AlertBridge bridge(options);
  std::vector<Target> targets(urls.size());
  for (size_t i = 0; i < urls.size(); ++i) {
    Target &t = targets[i];
    t.url = urls[i];
    t.queue = std::make_unique<AlertQueue>(capacity, [url = t.url](uint64_t dropped) {
      Log("queue for " + url + " is full: dropping the oldest alerts (" + std::to_string(dropped) +
          " dropped so far)");
    });
    t.thread = std::thread([&t, retryMin, retryMax] {
      std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
      if (!curl) Die("cannot create an HTTP handle", 1);
      std::string lastError;
      AlertDelivery delivery(
          *t.queue, [&](const std::string &body) { return Post(curl.get(), t.url, body, &lastError); },
          std::chrono::milliseconds(retryMin), std::chrono::milliseconds(retryMax));
      delivery.Run();
    });
  }
  auto deliver = [&](const std::vector<Json> &alerts) {
    if (alerts.empty()) return;
    if (dryRun) {
      Json body = Json::array();
      for (const Json &a : alerts) body.push_back(a);
      printf("%s\n", Catalog_Dump(body).c_str());
      fflush(stdout);
      return;
    }
    for (Target &t : targets) {
      for (const Json &a : alerts) t.queue->Push(a);
    }
  };

  // Renews the active clearable problems (not in a dry run: nothing is sent).
  std::atomic<bool> ending{false};
  std::thread refresher([&] {
    int64_t next = NowUs() / 1000000 + bridge.RefreshSeconds();
    while (!ending && !dryRun) {
      usleep(100000);
      if (NowUs() / 1000000 < next) continue;
      next = NowUs() / 1000000 + bridge.RefreshSeconds();
      deliver(bridge.Refresh(NowUs()));
    }
  });

  std::vector<unsigned char> data;
  while (!g_stop) {
    struct pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    int got = VProbReceiver_Next(listener, &data);
    if (got < 0) {
      Log(std::string("accept: ") + strerror(errno));
      break;
    }
    if (data.empty()) continue;
    VProbRecordDecoded record;
    if (got == 0) {
      Log("dropped a record longer than " + std::to_string(kVProbMaxRecordBytes) + " bytes");
      continue;
    }
    if (!VProbRecord_Decode(data.data(), data.size(), &record, &error)) {
      Log("dropped a record that does not decode: " + error);
      continue;
    }
    std::string note;
    std::vector<Json> alerts = bridge.Handle(record, NowUs(), &note);
    if (!note.empty()) Log(note);
    deliver(alerts);
  }

  ending = true;
  refresher.join();
  // A short grace to deliver what is queued, then report what was not.
  for (int waited = 0; waited < 20; ++waited) {
    bool empty = true;
    for (Target &t : targets) empty = empty && t.queue->Size() == 0;
    if (empty) break;
    usleep(100000);
  }
  for (Target &t : targets) {
    t.queue->Close();
    t.thread.join();
    if (t.queue->Size() > 0 || t.queue->Dropped() > 0) {
      Log(t.url + ": " + std::to_string(t.queue->Size()) + " alerts not delivered, " +
          std::to_string(t.queue->Dropped()) + " dropped while the queue was full");
    }
  }
  curl_global_cleanup();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception &e) {
    Die(e.what(), 1);
  }
}
