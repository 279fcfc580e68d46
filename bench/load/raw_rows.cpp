// Rows that use libcurl directly, the way a competent user of it would: the yardsticks that the
// library's own rows are compared with.

#include <curl/curl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "answers.hpp"
#include "load/rows.hpp"

namespace bench {
namespace {

struct RawTransfer {
  CURL* easy = nullptr;
  std::size_t index = 0;
  std::string answer;
};

int dropLine(CURL*, curl_infotype, char*, std::size_t, void*) {
  return 0;
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<RawTransfer*>(user)->answer.append(data, size * count);
  return size * count;
}

// The request every raw row sends: the body and headers of a `SendMessage` call, built once.
class RawRequest {
 public:
  explicit RawRequest(const RowPlan& plan)
      : url_(plan.url), caFile_(plan.caFile), lines_(plan.libcurlLines) {
    body_ = sendMessageRequestBody();
    headers_ = curl_slist_append(headers_, "Content-Type: application/json");
    headers_ = curl_slist_append(headers_, "Authorization: Basic YmVuY2g6c2VjcmV0");
    headers_ = curl_slist_append(headers_, "Expect:");
  }
  ~RawRequest() { curl_slist_free_all(headers_); }
  RawRequest(const RawRequest&) = delete;
  RawRequest& operator=(const RawRequest&) = delete;

  // Sets every option of one transfer on `t.easy`; a reused handle keeps them.
  void configure(RawTransfer& t) const {
    CURL* e = t.easy;
    curl_easy_setopt(e, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body_.c_str());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(e, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    if (lines_) {
      curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, dropLine);
      curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    }
  }

  // Empty when the transfer ended in the expected answer, otherwise what went wrong.
  static std::string failure(CURL* easy, CURLcode code, const std::string& answer) {
    if (code != CURLE_OK) return curl_easy_strerror(code);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return "status " + std::to_string(status);
    return answer == kJsonAnswer ? std::string() : std::string("unexpected answer");
  }

 private:
  std::string url_;
  std::string caFile_;
  bool lines_;
  std::string body_;
  curl_slist* headers_ = nullptr;
};

// One multi handle and its transfers: plan.window of them reused from one request to the next,
// or, with a window of 0, one handle per request, all added before the loop starts.
class MultiLoop {
 public:
  MultiLoop(const RowPlan& plan, Tracker& tracker)
      : plan_(plan), request_(plan), tracker_(tracker) {
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, plan.hostConnections);
    const std::size_t handles = plan.window == 0 ? plan.count : std::min(plan.window, plan.count);
    transfers_.resize(handles);
    for (RawTransfer& t : transfers_) {
      t.easy = curl_easy_init();
      request_.configure(t);
    }
  }
  ~MultiLoop() {
    for (RawTransfer& t : transfers_) {
      curl_multi_remove_handle(multi_, t.easy);
      curl_easy_cleanup(t.easy);
    }
    curl_multi_cleanup(multi_);
  }
  MultiLoop(const MultiLoop&) = delete;
  MultiLoop& operator=(const MultiLoop&) = delete;

  CURLM* multi() const { return multi_; }

  void startAll() {
    for (RawTransfer& t : transfers_) begin(t, next_++);
  }

  bool done() const { return tracker_.completed() == plan_.count; }

  // Ends the finished transfers and reuses their handles for the requests not yet started.
  void reap() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      RawTransfer* t = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
      const CURLcode code = msg->data.result;
      curl_multi_remove_handle(multi_, t->easy);
      tracker_.finished(t->index, RawRequest::failure(t->easy, code, t->answer));
      if (next_ < plan_.count) begin(*t, next_++);
    }
  }

 private:
  void begin(RawTransfer& t, std::size_t index) {
    t.index = index;
    t.answer.clear();
    tracker_.submitted(index);
    curl_multi_add_handle(multi_, t.easy);
  }

  const RowPlan& plan_;
  RawRequest request_;
  Tracker& tracker_;
  CURLM* multi_ = nullptr;
  std::vector<RawTransfer> transfers_;
  std::size_t next_ = 0;
};

std::int64_t deadlineNs(const RowPlan& plan) {
  return nowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(plan.limit).count();
}

// The event loop of the socket_action rows: libcurl tells which sockets to watch and when its
// next time-out falls, epoll waits for them.
class EpollDriver {
 public:
  explicit EpollDriver(CURLM* multi) : multi_(multi), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) throw std::runtime_error("epoll_create1 failed");
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
  }
  ~EpollDriver() { close(epoll_); }
  EpollDriver(const EpollDriver&) = delete;
  EpollDriver& operator=(const EpollDriver&) = delete;

  void step() {
    epoll_event events[64];
    const int n = epoll_wait(epoll_, events, 64, waitMs());
    int running = 0;
    for (int i = 0; i < n; ++i) {
      int mask = 0;
      if (events[i].events & (EPOLLIN | EPOLLHUP)) mask |= CURL_CSELECT_IN;
      if (events[i].events & EPOLLOUT) mask |= CURL_CSELECT_OUT;
      if (events[i].events & EPOLLERR) mask |= CURL_CSELECT_ERR;
      curl_multi_socket_action(multi_, events[i].data.fd, mask, &running);
    }
    // libcurl's timers fire even while sockets keep the loop busy.
    if (dueNs_ >= 0 && nowNs() >= dueNs_) {
      dueNs_ = -1;
      curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running);
    }
  }

 private:
  static int onSocket(CURL*, curl_socket_t fd, int what, void* user, void* registered) {
    auto* self = static_cast<EpollDriver*>(user);
    if (what == CURL_POLL_REMOVE) {
      epoll_ctl(self->epoll_, EPOLL_CTL_DEL, fd, nullptr);
      curl_multi_assign(self->multi_, fd, nullptr);
      return 0;
    }
    epoll_event event{};
    event.data.fd = fd;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) event.events |= EPOLLIN;
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) event.events |= EPOLLOUT;
    if (registered != nullptr) {
      epoll_ctl(self->epoll_, EPOLL_CTL_MOD, fd, &event);
    } else {
      epoll_ctl(self->epoll_, EPOLL_CTL_ADD, fd, &event);
      curl_multi_assign(self->multi_, fd, self);  // any non-null marks it as registered
    }
    return 0;
  }

  static int onTimer(CURLM*, long timeoutMs, void* user) {
    static_cast<EpollDriver*>(user)->dueNs_ = timeoutMs < 0 ? -1 : nowNs() + timeoutMs * 1000000;
    return 0;
  }

  int waitMs() const {
    if (dueNs_ < 0) return 1000;
    const std::int64_t left = dueNs_ - nowNs();
    return left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
  }

  CURLM* multi_;
  int epoll_;
  std::int64_t dueNs_ = -1;  // when libcurl's timer falls due; -1: no timer
};

template <typename Step>
RowResult runMulti(const RowPlan& plan, MultiLoop& loop, Tracker& tracker, Step step) {
  RowMeasurement measurement;
  loop.startAll();
  const std::int64_t deadline = deadlineNs(plan);
  while (!loop.done() && nowNs() < deadline) {
    step();
    loop.reap();
  }
  return measurement.finish(tracker);
}

}  // namespace

RowResult runRawPoll(const RowPlan& plan) {
  Tracker tracker(plan.count);
  MultiLoop loop(plan, tracker);
  // Waits first: finished transfers are reaped and replaced right after each perform, so the
  // wait never sleeps on a window that has just emptied. libcurl's own timers (such as the one
  // a newly added handle sets) cut the wait short.
  return runMulti(plan, loop, tracker, [&] {
    curl_multi_poll(loop.multi(), nullptr, 0, 1000, nullptr);
    int running = 0;
    curl_multi_perform(loop.multi(), &running);
  });
}

RowResult runRawEpoll(const RowPlan& plan) {
  Tracker tracker(plan.count);
  MultiLoop loop(plan, tracker);
  EpollDriver driver(loop.multi());
  return runMulti(plan, loop, tracker, [&] { driver.step(); });
}

RowResult runBlockingPool(const RowPlan& plan) {
  Tracker tracker(plan.count);
  const RawRequest request(plan);
  std::atomic<std::size_t> next{0};
  const std::int64_t deadline = deadlineNs(plan);
  RowMeasurement measurement;
  // Every request is handed to the pool at once, as futures over a pool would be.
  for (std::size_t i = 0; i < plan.count; ++i) tracker.submitted(i);
  std::vector<std::thread> workers;
  for (std::size_t w = 0; w < plan.threads; ++w) {
    workers.emplace_back([&] {
      for (std::size_t i = next++; i < plan.count && nowNs() < deadline; i = next++) {
        RawTransfer t;
        t.easy = curl_easy_init();
        t.index = i;
        request.configure(t);
        const CURLcode code = curl_easy_perform(t.easy);
        tracker.finished(i, RawRequest::failure(t.easy, code, t.answer));
        curl_easy_cleanup(t.easy);
      }
    });
  }
  for (std::thread& w : workers) w.join();
  return measurement.finish(tracker);
}

}  // namespace bench
