#pragma once

#include <string>

#include "load/metrics.hpp"

namespace bench {

/// The body of every `SendMessage` request of the rows, as the library builds it.
std::string sendMessageRequestBody();

/// Velmora: `SendMessage` calls to plan.url (an HTTPS origin).
RowResult runVelmoraSend(const RowPlan& plan);
/// Velmora: `CheckSendCode` calls to plan.url (the SOAP endpoint); the answer says "true".
RowResult runVelmoraCheck(const RowPlan& plan);
/// Raw libcurl: one multi handle driven by curl_multi_perform and curl_multi_poll.
RowResult runRawPoll(const RowPlan& plan);
/// Raw libcurl: one multi handle driven by curl_multi_socket_action and epoll.
RowResult runRawEpoll(const RowPlan& plan);
/// Async over blocking: plan.threads workers, each request a blocking transfer on a fresh handle.
RowResult runBlockingPool(const RowPlan& plan);

/// Runs the row that plan.kind names; throws std::invalid_argument for an unknown kind.
RowResult runRow(const RowPlan& plan);

}  // namespace bench

namespace bench {

/// The arguments of every `SendMessage` call of the rows.
inline constexpr const char* kSender = "3000";
inline constexpr const char* kText = "Your order has shipped";
inline constexpr const char* kMobile = "09121234567";
inline constexpr const char* kGroup = "7";

}  // namespace bench
