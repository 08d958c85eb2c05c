// How the relay says a failure, for each reader:
// - the exception's own message, fixed, with the error number:
//   ErrorText(10061) is "Socket Error # 10061\r\nConnection refused."
// - a log line names the cause as the system does, errno name and all:
//   "connection refused (ECONNREFUSED)" (the ReasonOf family);
// - a reply that a person reads (the client's 421, a failed TLS start) says
//   the same without the errno name: "connection refused" (ReplyWordsOf).
// The numbers, their errno values and the messages' words are the rows of
// socket_errors.h.
//
// Pure functions; any thread.
#pragma once

#include <exception>
#include <string>

namespace vantelo::relay {

// "Socket Error # N\r\nWORDS", WORDS from the number's row (empty without
// one). The message of ESocketError.
std::string ErrorText(int errorNumber);

// A socket error or a system error: the words of its errno and its name;
// any other exception: its message on one line.
std::string ReasonOf(const std::exception& e);
// An errno value: "connection refused (ECONNREFUSED)"; "error N" for a value
// the system has no words for.
std::string ReasonOfErrno(int errnoValue);
// An error number, with the errno value behind it when known (0: the one
// its row names). A number with neither: "socket error N".
std::string ReasonOfSocketError(int errorNumber, int errnoValue = 0);

// ReasonOfSocketError without the errno's name: "connection refused".
std::string ReplyWordsOf(int errorNumber);

// A message made fit for one line: line breaks (the "\r\n" of
// ErrorText) become blanks, trailing blanks go.
std::string OneLine(const std::string& text);

}  // namespace vantelo::relay
