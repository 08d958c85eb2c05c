// Socket error numbers and their texts. errno values are turned into these
// numbers here and nowhere else: everything above the socket layer speaks only
// these numbers. They are the relay's own error numbers (10053 for an aborted
// connection, 10054 for a reset, ...), which its messages and rules are
// written in.
#pragma once

#include <string>

namespace vantelo::relay {

inline constexpr int kErrInterrupted = 10004;
inline constexpr int kErrTooManyFiles = 10024;  // EMFILE, ENFILE
inline constexpr int kErrWouldBlock = 10035;    // EAGAIN
inline constexpr int kErrInProgress = 10036;
inline constexpr int kErrNoProtocolOption = 10042;
inline constexpr int kErrNotSupported = 10045;  // EOPNOTSUPP
inline constexpr int kErrAddrInUse = 10048;
inline constexpr int kErrNetDown = 10050;  // ENETDOWN, ENONET
inline constexpr int kErrNetUnreachable = 10051;
inline constexpr int kErrConnAborted = 10053;  // ECONNABORTED, EPROTO
inline constexpr int kErrConnReset = 10054;
inline constexpr int kErrNoBuffers = 10055;  // ENOBUFS, ENOMEM
inline constexpr int kErrShutdown = 10058;   // EPIPE, ESHUTDOWN: send or receive after shut-down
inline constexpr int kErrTimedOut = 10060;
inline constexpr int kErrHostDown = 10064;
inline constexpr int kErrHostUnreachable = 10065;
// A host name that could not be found.
inline constexpr int kErrHostNotFound = 11001;

// "Socket Error # N\r\nTEXT", TEXT from the error table (empty when unknown).
std::string ErrorText(int errorNumber);

// The error number for a POSIX errno value; 0 stays 0. A value with no number
// of its own passes through unchanged (its text is then empty).
int SocketErrorFromErrno(int errnoValue);

// The errno value an error number usually stands for (ECONNREFUSED for
// 10061, EPIPE for 10058); 0 for a number with none (kErrHostNotFound).
int ErrnoOfSocketError(int errorNumber);

// The log's words for a failure, as the system says it: "connection refused
// (ECONNREFUSED)". DescribeErrno takes an errno value; DescribeSocketError an
// error number, with the errno value behind it when known (0: the usual one).
std::string DescribeErrno(int errnoValue);
std::string DescribeSocketError(int errorNumber, int errnoValue = 0);

}  // namespace vantelo::relay
