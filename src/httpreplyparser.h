#ifndef HTTPREPLYPARSER_H
#define HTTPREPLYPARSER_H

#include <QByteArray>
#include <QHash>
#include <QVector>
#include <QPair>
#include <QString>

// Reads one HTTP/1.0 or HTTP/1.1 reply to a GET (or to a CONNECT) from the bytes of its
// connection as they arrive. It owns no socket and no event loop: the caller feeds what it has
// read and takes the body out; BoundedHttpReply drives it from a socket.
//
// Framing is strict, as a client has to read it: the version is HTTP/1.0 or HTTP/1.1; a
// Transfer-Encoding must be chunked alone (anything else, or chunked that is not the final
// coding, fails); a Content-Length is one or more equal runs of digits; chunk sizes are hex
// digits only. A body that runs to the end of the connection ends only with an orderly close.
//
// Lines are read as RFC 9112 has them, and a line that is none fails the reply (it is never
// skipped): a field line (header or trailer) is a token, a colon right after it and a value of
// visible characters, obs-text and inner blanks; a folded line fails. A bare LF may end the
// status line and field lines, never a chunk-size line or a chunk's data, which end with CRLF.
// A chunk-size line is hex digits and extensions (";" token ["=" token or quoted-string]).
//
// Memory stays bounded: the status line and header block (interim answers included) are held to
// NetworkLimits::kMaxHeaderBytes counted on the wire, a chunk-size line to 1 KiB, the trailers to
// kMaxHeaderBytes, and room() tells how much more input may be fed while body bytes wait.
class HttpReplyParser
{
public:
    enum class Result {
        NeedMore,  // everything fed has been used; feed more
        HeadEnded, // the header block has ended (reported once); call parse() again for the body
        Complete,  // the reply has ended whole
        Failed     // see failure() and errorText()
    };
    enum class Failure { None, Malformed, Closed };
    using Header = QPair<QByteArray, QByteArray>;

    // `headOnly` for the answer to a CONNECT: it ends with its header block, and what follows is
    // left for the caller (takeUnparsed()).
    explicit HttpReplyParser(bool headOnly = false);

    // Bytes that may be fed now while at most `bufferLimit` body bytes may wait for the caller.
    qint64 room(qint64 bufferLimit) const;
    void feed(const char* data, qint64 size);
    // Parses what has been fed. Body bytes wait in the parser until taken.
    Result parse();
    // The connection has ended: `orderly` for a close by the peer, false for a reset or a read
    // error. Only an orderly close ends a body that runs to the end of the connection.
    Result endOfInput(bool orderly);

    qint64 bodyAvailable() const { return m_Body.size() - m_BodyRead; }
    qint64 takeBody(char* data, qint64 maxSize);
    QByteArray takeUnparsed();

    bool headComplete() const { return m_HeadDone; }
    bool ended() const { return m_Phase == Phase::Done || m_Phase == Phase::Failed; }
    int status() const { return m_Status; }
    QByteArray reason() const { return m_Reason; }
    // Headers of the final answer; repeated names are joined by ", " under the first spelling.
    const QVector<Header>& headers() const { return m_Headers; }
    QByteArray header(const QByteArray& name) const;
    // The body's announced size; -1 when it is chunked or runs to the end of the connection.
    qint64 contentLength() const { return m_Total; }
    // Bytes of status lines and header blocks as they came on the wire.
    qint64 headerBytes() const { return m_WireHeadBytes; }
    // Body bytes parsed so far (taken or waiting).
    qint64 received() const { return m_Received; }
    Failure failure() const { return m_Failure; }
    // The reply has ended by its own framing (its length or its last chunk), it is HTTP/1.1 and
    // its Connection header does not say "close", and nothing was fed beyond its end: the
    // connection may carry the next request.
    bool leavesConnectionReusable() const;
    QString errorText() const { return m_Error; }

private:
    enum class Phase { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailers, Done, Failed };

    bool parseStatusLine(const QByteArray& line);
    // A field line's name (up to the colon) and value (without the blanks around it) within
    // `line`; false (and failed) when it is no field line.
    bool parseFieldLine(const QByteArray& line, int* nameEnd, int* valueStart, int* valueEnd);
    bool addHeader(const QByteArray& line);
    // Decides the body's framing once the header block has ended.
    bool frameBody();
    bool parseChunkSize(const QByteArray& line);
    // One line (without its end) from the input, counted against `limit` in m_BlockBytes; a view
    // of the input that stays valid until the next feed(). `crlf` tells whether it ended with CRLF
    // rather than a bare LF.
    // 0: no complete line yet; 1: a line; -1: the block is too long (failed).
    int takeLine(QByteArray* line, qint64 limit, const char* what, bool* crlf = nullptr);
    void takeBodyBytes(qint64 count);
    Result fail(Failure failure, const QString& text);
    Result complete();

    bool m_HeadOnly;
    Phase m_Phase = Phase::Head;
    bool m_HeadDone = false;
    bool m_HeadReported = false;
    QByteArray m_In;
    int m_InPos = 0;   // start of what has not been parsed
    int m_ScanPos = 0; // where the search for a line end goes on
    QByteArray m_Body;
    int m_BodyRead = 0;
    qint64 m_BlockBytes = 0;
    qint64 m_WireHeadBytes = 0;
    qint64 m_Remaining = 0;
    qint64 m_Total = -1;
    qint64 m_Received = 0;
    bool m_ToClose = false;
    int m_Status = 0;
    bool m_Http10 = false;
    QByteArray m_Reason;
    QVector<Header> m_Headers;
    QHash<QByteArray, int> m_HeaderIndex; // lower-case name -> index in m_Headers
    Failure m_Failure = Failure::None;
    QString m_Error;
};

#endif // HTTPREPLYPARSER_H
