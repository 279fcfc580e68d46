#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rest/json_encoder.hpp"
#include "velmora/messages.hpp"

// The request bodies of the JSON operations. Each layout, line ends included (CR LF after most
// members, LF elsewhere), is kept byte for byte as the service has always received it: JSON does
// not need it, but a deployed service is not the place to find out what else relies on it.
// Texts are escaped as JSON string contents, so a text that needs no escaping appears unchanged.
// Pure functions: any thread.
namespace velmora::detail {

std::string sendMessageBody(const JsonEncoder& encoder, const std::string& phoneNumber,
                            const std::string& message, const std::vector<std::string>& mobiles,
                            const std::string& userGroupID, std::int64_t sendDateInTimeStamp);

std::string sendCorrespondingMessageBody(const JsonEncoder& encoder, const std::string& phoneNumber,
                                         const std::vector<RecipientsMessage>& recipientsMessage,
                                         const std::string& userGroupID);

std::string sendMessageToPortBody(const JsonEncoder& encoder, const std::string& phoneNumber,
                                  std::int64_t recievePortNumber, std::int64_t sendPortNumber,
                                  const std::string& userGroupID,
                                  const std::vector<RecipientsMessage>& recipientsMessage);

std::string groupMessageStatusBody(const JsonEncoder& encoder, const std::string& groupMessageId);

std::string correspondingMessageStatusBody(const JsonEncoder& encoder,
                                           const std::vector<std::string>& messageId);

std::string getGroupMessageIdBody(const JsonEncoder& encoder, const std::string& groupId);

std::string receiveMessagesBody(const JsonEncoder& encoder, const std::string& phoneNumber,
                                std::int64_t startDate, std::int64_t endDate, std::int64_t page);

std::string showWhiteListBody(const JsonEncoder& encoder, const std::vector<std::string>& mobiles);

}  // namespace velmora::detail
