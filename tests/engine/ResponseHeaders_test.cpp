// How the ranged transfer reads an answer's header lines: the status, the content length, the
// content range and a busy server's Retry-After, from lines as a server (or anything posing as one)
// sends them.
#include "engine/ResponseHeaders.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

struct Case {
    const char* what;
    Lines lines;
    // What is read, as Describe writes it.
    const char* read;
};

// What was read, in short: "status 206, done, length 100, range 100-199/1000"; an unknown total
// is "*", an unsatisfied range "range */total".
std::string Describe(const ResponseHeaders& h) {
    std::string text = "status " + std::to_string(h.status);
    if (h.headersDone) {
        text += ", done";
    }
    if (h.contentLength) {
        text += ", length " + std::to_string(*h.contentLength);
    }
    if (h.hasContentRange) {
        text += ", range ";
        text +=
            h.unsatisfied ? "*" : std::to_string(h.rangeFirst) + "-" + std::to_string(h.rangeLast);
        text += "/" + (h.rangeTotal ? std::to_string(*h.rangeTotal) : "*");
    } else if (h.unsatisfied || h.rangeFirst != 0 || h.rangeLast != 0 || h.rangeTotal) {
        text += ", range fields without a range";
    }
    if (h.retryAfterSeconds) {
        text += ", wait " + std::to_string(*h.retryAfterSeconds) + " s";
    }
    if (h.retryAfterDate) {
        text += ", wait until " + std::to_string(*h.retryAfterDate);
    }
    return text;
}

void Expect(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        ResponseHeaders headers;
        for (const std::string& line : c.lines) {
            headers.TakeLine(line);
        }
        EXPECT_EQ(Describe(headers), c.read) << c.what;
    }
}

TEST(ResponseHeadersTest, StatusLines) {
    const std::vector<Case> cases = {
        {"HTTP/1.1", {"HTTP/1.1 206 Partial Content\r\n", "\r\n"}, "status 206, done"},
        {"HTTP/2 without a reason", {"HTTP/2 200\r\n", "\r\n"}, "status 200, done"},
        {"lower case, bare LF", {"http/1.0 404 Not Found\n", "\n"}, "status 404, done"},
        {"an interim answer does not end the headers",
         {"HTTP/1.1 100 Continue\r\n", "\r\n"},
         "status 100"},
        {"the final answer after an interim one starts afresh",
         {"HTTP/1.1 100 Continue\r\n", "Content-Length: 5\r\n", "\r\n", "HTTP/1.1 200 OK\r\n",
          "\r\n"},
         "status 200, done"},
        {"a redirect's headers are forgotten at the next status line",
         {"HTTP/1.1 302 Found\r\n", "Content-Range: bytes 0-9/10\r\n",
          "HTTP/1.1 206 Partial Content\r\n"},
         "status 206"},
        {"lines before any status line",
         {"Content-Length: 7\r\n", "\r\n"},
         "status 0, done, length 7"},
        // Anything but exactly three digits after the version is no code.
        {"four digits are not a code", {"HTTP/1.1 2000 OK\r\n"}, "status 0"},
        {"two digits", {"HTTP/1.1 20\r\n"}, "status 0"},
        {"a leading zero", {"HTTP/1.1 020 OK\r\n"}, "status 0"},
        {"two spaces", {"HTTP/1.1  200 OK\r\n"}, "status 0"},
        {"a sign", {"HTTP/1.1 +20 OK\r\n"}, "status 0"},
        {"no space", {"HTTP/1.1-200\r\n"}, "status 0"},
        {"digits of a later word", {"HTTP/2nt-length: 1000\r\n"}, "status 0"},
        {"an unreadable status ends the headers all the same",
         {"HTTP/1.1 abc\r\n", "\r\n"},
         "status 0, done"},
        {"trailers change nothing",
         {"HTTP/1.1 200 OK\r\n", "Content-Length: 3\r\n", "\r\n", "Content-Length: 9\r\n",
          "HTTP/1.1 500 Oops\r\n"},
         "status 200, done, length 3"},
    };
    Expect(cases);
}

TEST(ResponseHeadersTest, ContentLength) {
    const std::vector<Case> cases = {
        {"plain", {"Content-Length: 1000\r\n"}, "status 0, length 1000"},
        {"any letter case, no space, tabs", {"cOnTeNt-LeNgTh:\t 42 \t\r\n"}, "status 0, length 42"},
        {"zero", {"Content-Length: 0\r\n"}, "status 0, length 0"},
        {"leading zeros", {"Content-Length: 007\r\n"}, "status 0, length 7"},
        {"the largest 64-bit number",
         {"Content-Length: 18446744073709551615\r\n"},
         "status 0, length 18446744073709551615"},
        {"one past 64 bits is refused, not wrapped",
         {"Content-Length: 18446744073709551616\r\n"},
         "status 0"},
        {"far past 64 bits", {"Content-Length: 99999999999999999999999\r\n"}, "status 0"},
        {"negative", {"Content-Length: -1\r\n"}, "status 0"},
        {"a sign", {"Content-Length: +5\r\n"}, "status 0"},
        {"hexadecimal", {"Content-Length: 0x10\r\n"}, "status 0"},
        {"digits and more", {"Content-Length: 12abc\r\n"}, "status 0"},
        {"a list", {"Content-Length: 5, 5\r\n"}, "status 0"},
        {"empty", {"Content-Length:\r\n"}, "status 0"},
        {"a space before the colon is another header", {"Content-Length : 5\r\n"}, "status 0"},
        {"a look-alike header", {"Content-Lengths: 5\r\n"}, "status 0"},
        {"the same length twice",
         {"Content-Length: 5\r\n", "content-length: 05\r\n"},
         "status 0, length 5"},
        {"two lengths that disagree",
         {"Content-Length: 5\r\n", "Content-Length: 6\r\n"},
         "status 0"},
        {"a disagreement stays, whatever follows",
         {"Content-Length: 5\r\n", "Content-Length: 6\r\n", "Content-Length: 5\r\n"},
         "status 0"},
        {"an unreadable length and a readable one disagree",
         {"Content-Length: x\r\n", "Content-Length: 5\r\n"},
         "status 0"},
    };
    Expect(cases);
}

TEST(ResponseHeadersTest, ContentRange) {
    const std::vector<Case> cases = {
        {"plain", {"Content-Range: bytes 100-199/1000\r\n"}, "status 0, range 100-199/1000"},
        {"odd spacing and letter case",
         {"content-RANGE:bytes  0-0 /\t1 \r\n"},
         "status 0, range 0-0/1"},
        {"an unknown total", {"Content-Range: bytes 5-9/*\r\n"}, "status 0, range 5-9/*"},
        {"the last byte of the largest resource",
         {"Content-Range: bytes "
          "18446744073709551614-18446744073709551614/18446744073709551615\r\n"},
         "status 0, range 18446744073709551614-18446744073709551614/18446744073709551615"},
        {"unsatisfied", {"Content-Range: bytes */1000\r\n"}, "status 0, range */1000"},
        {"unsatisfied with an unknown total",
         {"Content-Range: bytes */*\r\n"},
         "status 0, range */*"},
        // Refused: no range at all.
        {"an end before the start", {"Content-Range: bytes 9-5/10\r\n"}, "status 0"},
        {"an end at the total", {"Content-Range: bytes 0-10/10\r\n"}, "status 0"},
        {"an end past the total", {"Content-Range: bytes 0-99/50\r\n"}, "status 0"},
        {"a total of zero", {"Content-Range: bytes 0-0/0\r\n"}, "status 0"},
        {"a start past 64 bits",
         {"Content-Range: bytes 18446744073709551616-18446744073709551617/*\r\n"},
         "status 0"},
        {"an end past 64 bits that would wrap below the start",
         {"Content-Range: bytes 5-18446744073709551621/*\r\n"},
         "status 0"},
        {"a total past 64 bits", {"Content-Range: bytes 0-9/18446744073709551616\r\n"}, "status 0"},
        {"an unreadable total is not an unknown one",
         {"Content-Range: bytes 0-9/abc\r\n"},
         "status 0"},
        {"an unreadable total of an unsatisfied range",
         {"Content-Range: bytes */-1\r\n"},
         "status 0"},
        {"negative numbers", {"Content-Range: bytes -1-5/10\r\n"}, "status 0"},
        {"no total", {"Content-Range: bytes 0-9\r\n"}, "status 0"},
        {"no end", {"Content-Range: bytes 0-/10\r\n"}, "status 0"},
        {"no start", {"Content-Range: bytes -9/10\r\n"}, "status 0"},
        {"no dash", {"Content-Range: bytes 9/10\r\n"}, "status 0"},
        {"another unit", {"Content-Range: items 0-9/10\r\n"}, "status 0"},
        {"no unit", {"Content-Range: 0-9/10\r\n"}, "status 0"},
        {"empty", {"Content-Range:\r\n"}, "status 0"},
        {"the same range twice",
         {"Content-Range: bytes 0-9/10\r\n", "Content-Range: bytes  0-9/10\r\n"},
         "status 0, range 0-9/10"},
        {"two ranges that disagree",
         {"Content-Range: bytes 0-9/100\r\n", "Content-Range: bytes 50-59/100\r\n"},
         "status 0"},
        {"a refused range and a good one disagree",
         {"Content-Range: bytes 9-0/100\r\n", "Content-Range: bytes 0-9/100\r\n"},
         "status 0"},
        {"a disagreement stays, whatever follows",
         {"Content-Range: bytes 0-9/100\r\n", "Content-Range: bytes 50-59/100\r\n",
          "Content-Range: bytes 0-9/100\r\n"},
         "status 0"},
    };
    Expect(cases);
}

}  // namespace

TEST(ResponseHeadersTest, RetryAfter) {
    // 784111777 is Sun, 06 Nov 1994 08:49:37 GMT, in each of the three forms HTTP allows.
    const std::vector<Case> cases = {
        {"seconds", {"HTTP/1.1 503 Busy\r\n", "Retry-After: 2\r\n"}, "status 503, wait 2 s"},
        {"any letter case", {"retry-AFTER:120\r\n"}, "status 0, wait 120 s"},
        {"a number past 64 bits is a very long wait",
         {"Retry-After: 99999999999999999999999\r\n"},
         "status 0, wait 18446744073709551615 s"},
        {"an HTTP date",
         {"Retry-After: Sun, 06 Nov 1994 08:49:37 GMT\r\n"},
         "status 0, wait until 784111777"},
        {"the old forms of a date",
         {"Retry-After: Sunday, 06-Nov-94 08:49:37 GMT\r\n"},
         "status 0, wait until 784111777"},
        {"the first one counts",
         {"Retry-After: 5\r\n", "Retry-After: Sun, 06 Nov 1994 08:49:37 GMT\r\n"},
         "status 0, wait 5 s"},
        {"neither a number nor a date", {"Retry-After: soon\r\n"}, "status 0"},
        {"a negative number", {"Retry-After: -5\r\n"}, "status 0"},
        {"digits and more", {"Retry-After: 5 seconds\r\n"}, "status 0"},
        {"empty", {"Retry-After:\r\n"}, "status 0"},
        {"far too long for a date", {"Retry-After: " + std::string(200, 'x') + "\r\n"}, "status 0"},
        {"the final answer does not inherit an interim answer's wait",
         {"HTTP/1.1 100 Continue\r\n", "Retry-After: 2\r\n", "\r\n", "HTTP/1.1 200 OK\r\n"},
         "status 200"},
    };
    Expect(cases);
}
