// Feeds arbitrary bytes as an HTTP reply through HttpReplyParser the way BoundedHttpReply does:
// in pieces no larger than the parser's room, with a reader that takes the body as it comes or
// only when the buffer is full, and an orderly close or a reset at the end. The first byte picks
// the piece size (at least 1/256 of the reply), the buffer, the reader, the end and whether the
// rest is sent as it is, with a header block padded to its bound, or wrapped as an honest reply
// (Content-Length or chunked).
//
// Whatever arrives: the unread body stays within the buffer and one header block, no more body
// comes out than was sent, the parser never stops taking input while nothing waits to be read,
// a failure says why, and an honest reply delivers exactly its body.
#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "httpreplyparser.h"
#include "networklimits.h"

namespace {

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// `body` as an honest reply: with a Content-Length, or chunked in pieces of `piece` bytes.
QByteArray honestReply(const QByteArray &body, bool chunked, int piece)
{
    if (!chunked)
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    QByteArray out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < body.size(); i += piece) {
        const QByteArray part = body.mid(i, piece);
        out += QByteArray::number(part.size(), 16) + ";x=y\r\n" + part + "\r\n";
    }
    return out + "0\r\nTrailer: t\r\n\r\n";
}

// `reply` with one long header after its first line, so that short inputs reach the header
// block's bound: the block ends just under it (what the input adds may cross it) or just over.
QByteArray padHeaderBlock(const QByteArray &reply, bool over)
{
    const int lineEnd = reply.indexOf('\n');
    if (lineEnd < 0)
        return reply;
    const qint64 target = NetworkLimits::kMaxHeaderBytes + (over ? 1 : -64);
    const qint64 fill = target - (lineEnd + 1) - qint64(sizeof "X-Pad: \r\n" - 1);
    if (fill <= 0)
        return reply;
    return reply.left(lineEnd + 1) + "X-Pad: " + QByteArray(int(fill), 'p') + "\r\n" + reply.mid(lineEnd + 1);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (size_t(1) << 24))
        return 0;
    const uint8_t options = data[0];
    static const qint64 kPieces[] = {1, 7, 1500, 16 * 1024};
    const qint64 requestedPiece = kPieces[options & 3];
    const qint64 bufferLimit = (options & 4) ? 4096 : NetworkLimits::kReadBufferSize;
    const bool lazyReader = options & 8;
    const bool orderly = !(options & 16);
    const bool honest = options & 32;
    const bool chunked = options & 64;

    const QByteArray sent = QByteArray::fromRawData(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const bool padded = !honest && (options & 64);
    QByteArray wire = sent;
    if (honest)
        wire = honestReply(sent, chunked, 1 + int(options >> 7) * 700);
    else if (padded)
        wire = padHeaderBlock(sent, options & 128);
    // Large replies come in at most a few hundred pieces, so that a run stays fast.
    const qint64 piece = std::max(requestedPiece, qint64(wire.size()) / 256);

    HttpReplyParser parser;
    // Only an honest reply's body is kept, to be compared; of the others only its size counts.
    QByteArray body;
    qint64 bodySize = 0;
    char buffer[4096];
    auto takeAll = [&] {
        for (;;) {
            const qint64 n = parser.takeBody(buffer, sizeof buffer);
            if (n <= 0)
                break;
            bodySize += n;
            if (honest)
                body.append(buffer, int(n));
        }
    };

    qint64 fed = 0;
    bool headReported = false;
    HttpReplyParser::Result result = HttpReplyParser::Result::NeedMore;
    for (;;) {
        result = parser.parse();
        if (result == HttpReplyParser::Result::HeadEnded) {
            check(!headReported);
            headReported = true;
            check(parser.headComplete());
            check(parser.status() >= 100 && parser.status() <= 999);
            check(parser.headerBytes() > 0 && parser.headerBytes() <= NetworkLimits::kMaxHeaderBytes);
            continue;
        }
        if (result != HttpReplyParser::Result::NeedMore)
            break;
        check(parser.bodyAvailable() <= bufferLimit + NetworkLimits::kMaxHeaderBytes + 1);
        qint64 room = parser.room(bufferLimit);
        if (!lazyReader || room == 0) {
            takeAll();
            room = parser.room(bufferLimit);
            // A parser that takes nothing while nothing waits would stall the connection.
            check(room > 0);
        }
        if (fed == wire.size()) {
            result = parser.endOfInput(orderly);
            break;
        }
        const qint64 n = std::min({room, piece, qint64(wire.size()) - fed});
        parser.feed(wire.constData() + fed, n);
        fed += n;
    }
    takeAll();

    check(parser.ended());
    check(result == HttpReplyParser::Result::Complete || result == HttpReplyParser::Result::Failed);
    check(bodySize == parser.received());
    check(bodySize <= fed);
    if (result == HttpReplyParser::Result::Failed) {
        check(parser.failure() != HttpReplyParser::Failure::None);
        check(!parser.errorText().isEmpty());
    } else {
        check(parser.failure() == HttpReplyParser::Failure::None);
        check(headReported);
        if (parser.contentLength() >= 0)
            check(bodySize == parser.contentLength());
    }
    if (padded && (options & 128) && wire.size() > sent.size())
        check(result == HttpReplyParser::Result::Failed && !headReported);
    if (honest) {
        check(result == HttpReplyParser::Result::Complete);
        check(parser.status() == 200);
        check(body == sent);
        check(parser.contentLength() == (chunked ? -1 : qint64(sent.size())));
    }
    return 0;
}
