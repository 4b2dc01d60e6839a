#include "httpreplyparser.h"

#include "networklimits.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>

namespace {

// A chunk-size line (size and extensions) longer than this is not an honest one.
constexpr qint64 kMaxChunkLine = 1024;
// Significant hex digits of a chunk size; more would overflow 64 bits.
constexpr int kMaxChunkDigits = 15;
// Decimal digits of a Content-Length; more would overflow 64 bits.
constexpr int kMaxLengthDigits = 18;

bool allOf(const QByteArray& text, bool (*pred)(char))
{
    return std::all_of(text.begin(), text.end(), pred);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// tchar of RFC 9110: the characters of a token.
bool isTokenChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f)
        return false;
    return !std::strchr("\"(),/:;<=>?@[\\]{}", c);
}

// A field value's characters: VCHAR, obs-text and the blanks between them.
bool isFieldValueChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return isBlank(c) || (u > 0x20 && u != 0x7f);
}

// From `pos`, past the blanks of `text`.
int skipBlanks(const QByteArray& text, int pos)
{
    while (pos < text.size() && isBlank(text.at(pos)))
        ++pos;
    return pos;
}

// From `pos`, past a token of `text`; `pos` itself when there is none.
int skipToken(const QByteArray& text, int pos)
{
    while (pos < text.size() && isTokenChar(text.at(pos)))
        ++pos;
    return pos;
}

// From `pos` (at its opening quote), past a quoted-string of `text`; -1 when it is none.
int skipQuotedString(const QByteArray& text, int pos)
{
    for (++pos; pos < text.size(); ++pos) {
        const char c = text.at(pos);
        if (c == '"')
            return pos + 1;
        if (c == '\\' && ++pos == text.size())
            return -1;
        // qdtext, or the character after a backslash: anything but controls (blanks aside).
        if (!isFieldValueChar(text.at(pos)))
            return -1;
    }
    return -1;
}

QString tr(const char* text)
{
    return QCoreApplication::translate("HttpReplyParser", text);
}

} // namespace

HttpReplyParser::HttpReplyParser(bool headOnly)
    : m_HeadOnly(headOnly)
{
}

qint64 HttpReplyParser::room(qint64 bufferLimit) const
{
    if (ended() || bufferLimit <= 0)
        return 0;
    // Lines of a block need their whole bound before they can fail; body bytes only the
    // caller's buffer.
    const bool inBody = m_Phase == Phase::Body || m_Phase == Phase::ChunkData;
    const qint64 cap = inBody ? bufferLimit : std::max(bufferLimit, NetworkLimits::kMaxHeaderBytes + 1);
    return std::max<qint64>(0, cap - (m_In.size() - m_InPos) - bodyAvailable());
}

void HttpReplyParser::feed(const char* data, qint64 size)
{
    if (ended() || size <= 0)
        return;
    // One block for what waits to be parsed, kept for the whole reply: it never needs to hold
    // more than a header block (or the caller's buffer) at a time.
    if (m_In.capacity() == 0)
        m_In.reserve(int(NetworkLimits::kMaxHeaderBytes + 1));
    if (m_InPos > 0) {
        m_In.remove(0, m_InPos);
        m_ScanPos = std::max(0, m_ScanPos - m_InPos);
        m_InPos = 0;
    }
    m_In.append(data, int(size));
}

HttpReplyParser::Result HttpReplyParser::parse()
{
    for (;;) {
        const qint64 pending = m_In.size() - m_InPos;
        switch (m_Phase) {
        case Phase::Head: {
            QByteArray line;
            const int got = takeLine(&line, NetworkLimits::kMaxHeaderBytes, "Header block");
            if (got < 0)
                return Result::Failed;
            if (got == 0)
                return Result::NeedMore;
            m_WireHeadBytes = m_BlockBytes;
            if (m_Status == 0) {
                if (!parseStatusLine(line))
                    return Result::Failed;
                continue;
            }
            if (!line.isEmpty()) {
                if (!addHeader(line))
                    return Result::Failed;
                continue;
            }
            if (m_Status < 200) {
                if (m_Status == 101)
                    return fail(Failure::Malformed, tr("Unexpected protocol switch"));
                // An interim answer ("100 Continue"); the real one follows, within the same bound.
                m_Status = 0;
                m_Headers.clear();
                m_HeaderIndex.clear();
                continue;
            }
            m_HeadDone = true;
            if (m_HeadOnly)
                m_Phase = Phase::Done;
            else if (!frameBody())
                return Result::Failed;
            return Result::HeadEnded;
        }
        case Phase::Body: {
            if (pending == 0)
                return Result::NeedMore;
            const qint64 take = m_ToClose ? pending : std::min(pending, m_Remaining);
            takeBodyBytes(take);
            if (m_ToClose)
                return Result::NeedMore;
            m_Remaining -= take;
            if (m_Remaining == 0)
                return complete();
            return Result::NeedMore;
        }
        case Phase::ChunkSize: {
            QByteArray line;
            bool crlf = false;
            const int got = takeLine(&line, kMaxChunkLine, "Chunk size line", &crlf);
            if (got < 0)
                return Result::Failed;
            if (got == 0)
                return Result::NeedMore;
            if (!crlf)
                return fail(Failure::Malformed, tr("Chunk size line not ended by CRLF"));
            if (!parseChunkSize(line))
                return Result::Failed;
            continue;
        }
        case Phase::ChunkData: {
            if (pending == 0)
                return Result::NeedMore;
            const qint64 take = std::min(pending, m_Remaining);
            takeBodyBytes(take);
            m_Remaining -= take;
            if (m_Remaining > 0)
                return Result::NeedMore;
            m_Phase = Phase::ChunkEnd;
            continue;
        }
        case Phase::ChunkEnd: {
            const char* in = m_In.constData() + m_InPos;
            if (pending >= 2 && in[0] == '\r' && in[1] == '\n')
                m_InPos += 2;
            else if (pending == 0 || (pending == 1 && in[0] == '\r'))
                return Result::NeedMore;
            else
                return fail(Failure::Malformed, tr("Malformed chunk end"));
            m_ScanPos = m_InPos;
            m_Phase = Phase::ChunkSize;
            m_BlockBytes = 0;
            continue;
        }
        case Phase::Trailers: {
            QByteArray line;
            const int got = takeLine(&line, NetworkLimits::kMaxHeaderBytes, "Trailer block");
            if (got < 0)
                return Result::Failed;
            if (got == 0)
                return Result::NeedMore;
            if (line.isEmpty())
                return complete();
            // Trailer fields are read like header fields, and not kept.
            int nameEnd = 0;
            int valueStart = 0;
            int valueEnd = 0;
            if (!parseFieldLine(line, &nameEnd, &valueStart, &valueEnd))
                return Result::Failed;
            continue;
        }
        case Phase::Done:
            return Result::Complete;
        case Phase::Failed:
            return Result::Failed;
        }
    }
}

HttpReplyParser::Result HttpReplyParser::endOfInput(bool orderly)
{
    if (m_Phase == Phase::Done)
        return Result::Complete;
    if (m_Phase == Phase::Failed)
        return Result::Failed;
    if (m_Phase == Phase::Body && m_ToClose) {
        if (orderly)
            return complete();
        return fail(Failure::Closed, tr("Connection reset before the end of the body"));
    }
    return fail(Failure::Closed, tr("Connection closed"));
}

qint64 HttpReplyParser::takeBody(char* data, qint64 maxSize)
{
    const qint64 n = std::min(maxSize, bodyAvailable());
    if (n <= 0)
        return 0;
    std::memcpy(data, m_Body.constData() + m_BodyRead, size_t(n));
    m_BodyRead += int(n);
    if (m_BodyRead == m_Body.size()) {
        // Emptied, not freed: the next body bytes reuse the block.
        m_Body.resize(0);
        m_BodyRead = 0;
    } else if (m_BodyRead > m_Body.size() / 2) {
        m_Body.remove(0, m_BodyRead);
        m_BodyRead = 0;
    }
    return n;
}

QByteArray HttpReplyParser::takeUnparsed()
{
    const QByteArray rest = m_In.mid(m_InPos);
    m_In.clear();
    m_InPos = 0;
    m_ScanPos = 0;
    return rest;
}

bool HttpReplyParser::leavesConnectionReusable() const
{
    if (m_Phase != Phase::Done || m_HeadOnly || m_ToClose || m_Http10 || m_InPos != m_In.size())
        return false;
    for (const QByteArray& option : header("Connection").split(','))
        if (option.trimmed().compare("close", Qt::CaseInsensitive) == 0)
            return false;
    return true;
}

QByteArray HttpReplyParser::header(const QByteArray& name) const
{
    const int index = m_HeaderIndex.value(name.toLower(), -1);
    return index < 0 ? QByteArray() : m_Headers.at(index).second;
}

bool HttpReplyParser::parseStatusLine(const QByteArray& line)
{
    // "HTTP/1.1 200 OK"; the reason phrase may be empty or missing.
    const bool version = line.startsWith("HTTP/1.1 ") || line.startsWith("HTTP/1.0 ");
    const QByteArray code = line.mid(9, 3);
    if (!version || code.size() != 3 || !allOf(code, isDigit) || (line.size() > 12 && line.at(12) != ' ')
        || code.at(0) == '0') {
        fail(Failure::Malformed, tr("Malformed status line"));
        return false;
    }
    m_Status = code.toInt();
    m_Http10 = line.at(7) == '0';
    m_Reason = line.mid(13).trimmed();
    return true;
}

bool HttpReplyParser::parseFieldLine(const QByteArray& line, int* nameEnd, int* valueStart, int* valueEnd)
{
    // field-name ":" OWS field-value OWS, the name a token right before the colon.
    if (isBlank(line.at(0))) {
        // A folded line (obs-fold): refused rather than joined to the line before.
        fail(Failure::Malformed, tr("Folded header line"));
        return false;
    }
    const int colon = skipToken(line, 0);
    if (colon == 0 || colon == line.size() || line.at(colon) != ':') {
        fail(Failure::Malformed, tr("Malformed header line"));
        return false;
    }
    int start = skipBlanks(line, colon + 1);
    int end = line.size();
    while (end > start && isBlank(line.at(end - 1)))
        --end;
    if (!std::all_of(line.begin() + start, line.begin() + end, isFieldValueChar)) {
        fail(Failure::Malformed, tr("Malformed header value"));
        return false;
    }
    *nameEnd = colon;
    *valueStart = start;
    *valueEnd = end;
    return true;
}

bool HttpReplyParser::addHeader(const QByteArray& line)
{
    // Bounds of the name and the value without blanks around them; the copies are made once.
    int nameEnd = 0;
    int valueStart = 0;
    int valueEnd = 0;
    if (!parseFieldLine(line, &nameEnd, &valueStart, &valueEnd))
        return false;
    const char* text = line.constData();
    const QByteArray name(text, nameEnd);
    const QByteArray value = valueEnd > valueStart ? QByteArray(text + valueStart, valueEnd - valueStart) : QByteArray();
    const bool lowerCase = std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    const QByteArray key = lowerCase ? name : name.toLower();
    const auto it = m_HeaderIndex.constFind(key);
    if (it != m_HeaderIndex.constEnd()) {
        m_Headers[*it].second += ", " + value;
        return true;
    }
    m_HeaderIndex.insert(key, m_Headers.size());
    m_Headers.append({name, value});
    return true;
}

bool HttpReplyParser::frameBody()
{
    m_Phase = Phase::Body;
    if (m_Status == 204 || m_Status == 304) {
        m_Total = 0;
        m_Phase = Phase::Done;
        return true;
    }
    if (m_HeaderIndex.contains("transfer-encoding")) {
        const QByteArray codings = header("Transfer-Encoding");
        if (m_Http10) {
            fail(Failure::Malformed, tr("Transfer-Encoding in an HTTP/1.0 reply"));
            return false;
        }
        // Chunked must be the final coding, and the updater asks for no other.
        int chunked = 0;
        int others = 0;
        for (const QByteArray& element : codings.split(',')) {
            const int semicolon = element.indexOf(';');
            const QByteArray coding = (semicolon < 0 ? element : element.left(semicolon)).trimmed();
            if (element.trimmed().isEmpty())
                continue;
            if (coding.compare("chunked", Qt::CaseInsensitive) == 0)
                ++chunked;
            else
                ++others;
        }
        if (chunked != 1 || others != 0) {
            fail(Failure::Malformed,
                 tr("Transfer coding %1 refused").arg(QString::fromLatin1(codings.left(256))));
            return false;
        }
        m_Phase = Phase::ChunkSize;
        m_BlockBytes = 0;
        return true;
    }
    if (m_HeaderIndex.contains("content-length")) {
        // Repeated headers arrive joined; they must agree.
        qint64 value = -1;
        for (const QByteArray& part : header("Content-Length").split(',')) {
            const QByteArray digits = part.trimmed();
            bool ok = !digits.isEmpty() && digits.size() <= kMaxLengthDigits && allOf(digits, isDigit);
            const qint64 n = ok ? digits.toLongLong(&ok) : -1;
            if (!ok || (value >= 0 && n != value)) {
                fail(Failure::Malformed, tr("Invalid Content-Length"));
                return false;
            }
            value = n;
        }
        m_Total = value;
        m_Remaining = value;
        if (value == 0)
            m_Phase = Phase::Done;
        return true;
    }
    m_ToClose = true;
    return true;
}

bool HttpReplyParser::parseChunkSize(const QByteArray& line)
{
    // chunk-size *( BWS ";" BWS ext-name [ BWS "=" BWS ( token / quoted-string ) ] )
    int first = 0;
    while (first < line.size() - 1 && line.at(first) == '0' && isHexDigit(line.at(first + 1)))
        ++first;
    int pos = first;
    while (pos < line.size() && isHexDigit(line.at(pos)))
        ++pos;
    const QByteArray digits = line.mid(first, pos - first);
    bool ok = !digits.isEmpty() && digits.size() <= kMaxChunkDigits;
    const qint64 size = ok ? digits.toLongLong(&ok, 16) : -1;
    while (ok && pos < line.size()) {
        // Blanks only before a ";", never at the end of the line.
        int at = skipBlanks(line, pos);
        ok = at < line.size() && line.at(at) == ';';
        if (!ok)
            break;
        at = skipBlanks(line, at + 1);
        const int nameEnd = skipToken(line, at);
        ok = nameEnd > at;
        pos = nameEnd;
        at = skipBlanks(line, nameEnd);
        if (!ok || at == line.size() || line.at(at) != '=')
            continue;
        at = skipBlanks(line, at + 1);
        pos = at < line.size() && line.at(at) == '"' ? skipQuotedString(line, at) : skipToken(line, at);
        ok = pos > at;
    }
    if (!ok || size < 0) {
        fail(Failure::Malformed, tr("Invalid chunk size"));
        return false;
    }
    m_BlockBytes = 0;
    if (size == 0) {
        m_Phase = Phase::Trailers;
    } else {
        m_Remaining = size;
        m_Phase = Phase::ChunkData;
    }
    return true;
}

int HttpReplyParser::takeLine(QByteArray* line, qint64 limit, const char* what, bool* crlf)
{
    // The search goes on where the last one stopped, so a line that arrives byte by byte is
    // scanned once.
    const int end = m_In.indexOf('\n', std::max(m_InPos, m_ScanPos));
    const qint64 length = end < 0 ? qint64(m_In.size() - m_InPos) : qint64(end) + 1 - m_InPos;
    const qint64 used = m_BlockBytes + length;
    if (used > limit) {
        fail(Failure::Malformed, tr("%1 longer than %2 bytes").arg(tr(what)).arg(limit));
        return -1;
    }
    if (end < 0) {
        m_ScanPos = m_In.size();
        return 0;
    }
    m_BlockBytes = used;
    // A view of the input: the caller uses the line before anything more is fed.
    int lineLength = end - m_InPos;
    const bool carriageReturn = lineLength > 0 && m_In.at(end - 1) == '\r';
    if (carriageReturn)
        --lineLength;
    if (crlf)
        *crlf = carriageReturn;
    *line = QByteArray::fromRawData(m_In.constData() + m_InPos, lineLength);
    m_InPos = end + 1;
    m_ScanPos = m_InPos;
    return 1;
}

void HttpReplyParser::takeBodyBytes(qint64 count)
{
    if (m_Body.capacity() == 0)
        m_Body.reserve(int(NetworkLimits::kReadBufferSize));
    m_Body.append(m_In.constData() + m_InPos, int(count));
    m_InPos += int(count);
    m_ScanPos = m_InPos;
    m_Received += count;
}

HttpReplyParser::Result HttpReplyParser::fail(Failure failure, const QString& text)
{
    m_Phase = Phase::Failed;
    m_Failure = failure;
    m_Error = text;
    m_In.clear();
    m_InPos = 0;
    m_ScanPos = 0;
    return Result::Failed;
}

HttpReplyParser::Result HttpReplyParser::complete()
{
    m_Phase = Phase::Done;
    return Result::Complete;
}
