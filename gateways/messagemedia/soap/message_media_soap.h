/* SPDX-License-Identifier: Apache-2.0 */
// gSOAP interface header of the SMS web service's 2009 interface: SOAP 1.1,
// document/literal, every element qualified in the service's namespace,
// attributes unqualified, SOAP action = namespace + "/" + operation.
// soapcpp2 reads this file at build time; it is not C++ and never compiled.
//
// Only sendMessages, checkReplies and confirmReplies carry their full types;
// the other seven operations exist so the binding keeps the service's ten,
// with their bodies kept as literal XML.
// Counts and ids are unsigned 64-bit; error codes are text, so a code the
// service adds later does not fail a whole answer.

//gsoap ns1 service name:          MessageMediaServiceBinding
//gsoap ns1 service type:          MessageMediaServicePortType
//gsoap ns1 service namespace:     http://xml.m4u.com.au/2009
//gsoap ns1 service location:      https://soap.m4u.com.au/
//gsoap ns1 schema namespace:      http://xml.m4u.com.au/2009
//gsoap ns1 schema elementForm:    qualified
//gsoap ns1 schema attributeForm:  unqualified

#import "stlvector.h"

typedef unsigned long long xsd__unsignedLong;

class ns1__AuthenticationType {
 public:
  std::string userId 1;
  std::string password 1;
};

// --- sendMessages ---------------------------------------------------------

class ns1__RecipientType {
 public:
  std::string __item;  // the number
  @xsd__unsignedLong uid 0;
};

class ns1__RecipientsType {
 public:
  std::vector<ns1__RecipientType*> recipient 1;
};

class ns1__MessageType {
 public:
  ns1__RecipientsType* recipients 1;
  std::string content 1;
  bool* deliveryReport 0;
  xsd__unsignedLong* validityPeriod 0;
  @std::string format 0;
  @xsd__unsignedLong sequenceNumber 0;
};

class ns1__MessageListType {
 public:
  std::vector<ns1__MessageType*> message 1;
  @std::string sendMode 0;
};

class ns1__SendMessagesBodyType {
 public:
  ns1__MessageListType* messages 1;
};

class ns1__MessageErrorType {
 public:
  ns1__RecipientsType* recipients 0;
  @std::string code 1;
  @xsd__unsignedLong* sequenceNumber 0;
};

class ns1__MessageErrorListType {
 public:
  std::vector<ns1__MessageErrorType*> error 0;
};

class ns1__SendMessagesResultType {
 public:
  ns1__MessageErrorListType* errors 0;
  @xsd__unsignedLong sent 1;
  @xsd__unsignedLong scheduled 1;
  @xsd__unsignedLong failed 1;
};

class _ns1__sendMessages {
 public:
  ns1__AuthenticationType* authentication 1;
  ns1__SendMessagesBodyType* requestBody 1;
};

class _ns1__sendMessagesResponse {
 public:
  ns1__SendMessagesResultType* result 1;
};

// --- checkReplies ---------------------------------------------------------

class ns1__CheckRepliesBodyType {
 public:
  xsd__unsignedLong* maximumReplies 0;
};

class ns1__ReplyType {
 public:
  std::string* origin 0;
  std::string* received 0;
  std::string* content 0;
  @xsd__unsignedLong uid 0;
  @xsd__unsignedLong receiptId 1;
  @std::string* format 0;
};

class ns1__ReplyListType {
 public:
  std::vector<ns1__ReplyType*> reply 0;
};

class ns1__CheckRepliesResultType {
 public:
  ns1__ReplyListType* replies 0;
  @xsd__unsignedLong returned 1;
  @xsd__unsignedLong remaining 1;
};

class _ns1__checkReplies {
 public:
  ns1__AuthenticationType* authentication 1;
  ns1__CheckRepliesBodyType* requestBody 1;
};

class _ns1__checkRepliesResponse {
 public:
  ns1__CheckRepliesResultType* result 1;
};

// --- confirmReplies -------------------------------------------------------

class ns1__ConfirmItemType {
 public:
  @xsd__unsignedLong receiptId 1;
};

class ns1__ConfirmReplyListType {
 public:
  std::vector<ns1__ConfirmItemType*> reply 1;
};

class ns1__ConfirmRepliesBodyType {
 public:
  ns1__ConfirmReplyListType* replies 1;
};

class ns1__ConfirmRepliesResultType {
 public:
  @xsd__unsignedLong confirmed 1;
};

class _ns1__confirmReplies {
 public:
  ns1__AuthenticationType* authentication 1;
  ns1__ConfirmRepliesBodyType* requestBody 1;
};

class _ns1__confirmRepliesResponse {
 public:
  ns1__ConfirmRepliesResultType* result 1;
};

// --- the operations this module does not call -----------------------------

class ns1__LiteralBodyType {
 public:
  _XML __any;
};

class ns1__OtherRequest {
 public:
  ns1__AuthenticationType* authentication 1;
  ns1__LiteralBodyType* requestBody 0;
};

class ns1__OtherResponse {
 public:
  ns1__LiteralBodyType* result 0;
};

typedef ns1__OtherRequest _ns1__checkUser;
typedef ns1__OtherResponse _ns1__checkUserResponse;
typedef ns1__OtherRequest _ns1__checkReports;
typedef ns1__OtherResponse _ns1__checkReportsResponse;
typedef ns1__OtherRequest _ns1__confirmReports;
typedef ns1__OtherResponse _ns1__confirmReportsResponse;
typedef ns1__OtherRequest _ns1__deleteScheduledMessages;
typedef ns1__OtherResponse _ns1__deleteScheduledMessagesResponse;
typedef ns1__OtherRequest _ns1__blockNumbers;
typedef ns1__OtherResponse _ns1__blockNumbersResponse;
typedef ns1__OtherRequest _ns1__unblockNumbers;
typedef ns1__OtherResponse _ns1__unblockNumbersResponse;
typedef ns1__OtherRequest _ns1__getBlockedNumbers;
typedef ns1__OtherResponse _ns1__getBlockedNumbersResponse;

// --- the binding: ten operations in the service's order --------------------

//gsoap ns1 service method-style:    sendMessages document
//gsoap ns1 service method-encoding: sendMessages literal
//gsoap ns1 service method-action:   sendMessages http://xml.m4u.com.au/2009/sendMessages
int __ns1__sendMessages(_ns1__sendMessages* ns1__sendMessages, _ns1__sendMessagesResponse& ns1__sendMessagesResponse);

//gsoap ns1 service method-style:    checkUser document
//gsoap ns1 service method-encoding: checkUser literal
//gsoap ns1 service method-action:   checkUser http://xml.m4u.com.au/2009/checkUser
int __ns1__checkUser(_ns1__checkUser* ns1__checkUser, _ns1__checkUserResponse& ns1__checkUserResponse);

//gsoap ns1 service method-style:    checkReplies document
//gsoap ns1 service method-encoding: checkReplies literal
//gsoap ns1 service method-action:   checkReplies http://xml.m4u.com.au/2009/checkReplies
int __ns1__checkReplies(_ns1__checkReplies* ns1__checkReplies, _ns1__checkRepliesResponse& ns1__checkRepliesResponse);

//gsoap ns1 service method-style:    checkReports document
//gsoap ns1 service method-encoding: checkReports literal
//gsoap ns1 service method-action:   checkReports http://xml.m4u.com.au/2009/checkReports
int __ns1__checkReports(_ns1__checkReports* ns1__checkReports, _ns1__checkReportsResponse& ns1__checkReportsResponse);

//gsoap ns1 service method-style:    confirmReplies document
//gsoap ns1 service method-encoding: confirmReplies literal
//gsoap ns1 service method-action:   confirmReplies http://xml.m4u.com.au/2009/confirmReplies
int __ns1__confirmReplies(_ns1__confirmReplies* ns1__confirmReplies,
                          _ns1__confirmRepliesResponse& ns1__confirmRepliesResponse);

//gsoap ns1 service method-style:    confirmReports document
//gsoap ns1 service method-encoding: confirmReports literal
//gsoap ns1 service method-action:   confirmReports http://xml.m4u.com.au/2009/confirmReports
int __ns1__confirmReports(_ns1__confirmReports* ns1__confirmReports,
                          _ns1__confirmReportsResponse& ns1__confirmReportsResponse);

//gsoap ns1 service method-style:    deleteScheduledMessages document
//gsoap ns1 service method-encoding: deleteScheduledMessages literal
//gsoap ns1 service method-action:   deleteScheduledMessages http://xml.m4u.com.au/2009/deleteScheduledMessages
int __ns1__deleteScheduledMessages(_ns1__deleteScheduledMessages* ns1__deleteScheduledMessages,
                                   _ns1__deleteScheduledMessagesResponse& ns1__deleteScheduledMessagesResponse);

//gsoap ns1 service method-style:    blockNumbers document
//gsoap ns1 service method-encoding: blockNumbers literal
//gsoap ns1 service method-action:   blockNumbers http://xml.m4u.com.au/2009/blockNumbers
int __ns1__blockNumbers(_ns1__blockNumbers* ns1__blockNumbers, _ns1__blockNumbersResponse& ns1__blockNumbersResponse);

//gsoap ns1 service method-style:    unblockNumbers document
//gsoap ns1 service method-encoding: unblockNumbers literal
//gsoap ns1 service method-action:   unblockNumbers http://xml.m4u.com.au/2009/unblockNumbers
int __ns1__unblockNumbers(_ns1__unblockNumbers* ns1__unblockNumbers,
                          _ns1__unblockNumbersResponse& ns1__unblockNumbersResponse);

//gsoap ns1 service method-style:    getBlockedNumbers document
//gsoap ns1 service method-encoding: getBlockedNumbers literal
//gsoap ns1 service method-action:   getBlockedNumbers http://xml.m4u.com.au/2009/getBlockedNumbers
int __ns1__getBlockedNumbers(_ns1__getBlockedNumbers* ns1__getBlockedNumbers,
                             _ns1__getBlockedNumbersResponse& ns1__getBlockedNumbersResponse);
