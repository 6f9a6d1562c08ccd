#pragma once
// Why a transfer (engine/Download.h) ended without its bytes. Each kind says what asking again
// can change, which is what the retry policy (engine/RetryPolicy.h) goes by:
//   kSession, kConnection, kBodyCutShort  the network or the server's connection failed; the
//                                         same request may well work later
//   kHttpStatus                           the server answered with a status other than the
//                                         bytes (see Download::HttpStatus for which one)
//   kWrongAnswer                          the status was fine but the bytes were not the ones
//                                         asked for (a range ignored, or another range named)
//   kLocalFile                            the local file can't be opened, used or written
//   kInterrupted                          the caller's stop events ended it; nobody's fault
// The numbers beside them are the transfer's historic error codes, kept for the log.
#include <cstdint>

enum class TransferError : uint8_t {
    kNone = 0,
    kSession = 2,
    kConnection = 3,
    kWrongAnswer = 7,
    kHttpStatus = 4,
    kBodyCutShort = 5,
    kLocalFile = 6,
    kInterrupted = 8,
};
