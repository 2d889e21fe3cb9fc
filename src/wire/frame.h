// Frames: "`", one digit d, the payload length in d decimal digits, the
// payload, "~". Both connections carry them; the real-time extractor finds a
// frame's end by its closing mark, the historic one by the declared length.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace qxd {

constexpr char OpeningMark = '`';
constexpr char ClosingMark = '~';

// The longest payload a frame can declare: the length is a 16-bit signed
// integer on both sides.
constexpr qsizetype MaxPayload = 32767;
// The longest frame: mark, count digit 9, nine length digits, payload, mark.
constexpr qsizetype MaxFrame = MaxPayload + 9 + 3;

// The frame that carries `s`. Pure; callers that send refuse payloads above
// MaxPayload before framing.
QByteArray ConverteToSend(QByteArrayView s);

// `s` without any blank (32) or NUL byte. Tabs and other bytes stay.
QByteArray TrueTrim(QByteArrayView s);

// The count digit and the length field, read from `s`, which starts at the
// count digit: d is the numeric reading of that byte, the length the numeric
// reading of the d bytes after it (fewer when `s` is shorter).
struct FrameHead {
    int d = 0;
    bool whole = false; // all d length bytes are present
    bool valid = false; // the length reads as 0..MaxPayload
    qsizetype length = 0;
};
// Any head, through the numeric reading.
FrameHead ReadFrameHeadSlow(QByteArrayView s);

// The head as every sender writes it (a count digit 1..5 and that many
// plain digits, all present) is read here, inline; anything else goes
// through the numeric reading.
inline FrameHead ReadFrameHead(QByteArrayView s) {
    const int d = s.isEmpty() ? 0 : s[0] - '0';
    if (d < 1 || d > 5 || s.size() <= d) return ReadFrameHeadSlow(s);
    qsizetype len = 0;
    for (int i = 1; i <= d; ++i) {
        const int x = s[i] - '0';
        if (x < 0 || x > 9) return ReadFrameHeadSlow(s);
        len = len * 10 + x;
    }
    FrameHead h;
    h.d = d;
    h.whole = true;
    h.valid = len <= MaxPayload;
    h.length = h.valid ? len : 0;
    return h;
}

// Real-time receive buffer with its extractor.
//
// One call appends the newly received bytes and cuts at most one frame: the
// frame begins at the first opening mark anywhere in the buffer (bytes before
// it go with it) and ends at the first closing mark after it; it yields its
// payload when the part between the marks is exactly count digit, length
// field and the declared number of bytes, and nothing otherwise (the frame is
// consumed all the same). A buffer without an opening mark is emptied; a
// frame whose closing mark has not arrived waits. A buffer that starts with
// the opening mark directly followed by the closing mark loses those two
// bytes, and the call reports nothing left, so the receive loop stops there
// until the next arrival.
//
// Memory stays bounded: once more bytes follow the opening mark than the
// longest frame can hold, no closing mark can make that frame valid any
// more, so the buffer is dropped and the following bytes up to and including
// the next closing mark are discarded as they arrive; and after such a
// leading pair, more than MaxFrame bytes left behind are reported as left,
// so that the loop goes on with them. The messages that come out are the
// same as if everything had been kept.
class FrameExtractor {
public:
    // Appends `in` and cuts at most one frame. `left` becomes the number of
    // bytes left in the buffer after a cut, and 0 when nothing was cut. The
    // returned payload is empty when no valid frame was cut; it points into
    // the buffer and stays valid until the next call.
    QByteArrayView extract(QByteArrayView in, qsizetype& left);

    // What the buffer holds now (in discard state: nothing).
    QByteArrayView buffered() const { return QByteArrayView(buf_).sliced(head_); }
    bool discarding() const { return discarding_; }
    // Memory the buffer holds, used or not.
    qsizetype capacity() const { return buf_.capacity(); }

private:
    void append(QByteArrayView in);
    QByteArray buf_;
    qsizetype head_ = 0; // bytes before it are consumed
    bool discarding_ = false;
};

// Historic receive buffer with its extractor.
//
// The frame is read from the first byte of the buffer, whatever that byte
// is: count digit at byte 2, length field after it, payload of the declared
// length, and the byte after the payload must be the closing mark ("~" inside
// a payload is data). An incomplete frame waits. A buffer without any
// opening mark is emptied.
//
// Resynchronisation: the frame at the front can never complete when its
// length field is whole and reads as negative or above MaxPayload, or when
// the byte where its closing mark must stand has arrived and is something
// else. Then the first byte and everything up to the next opening mark are
// dropped (the whole buffer when there is none) and the extractor tries
// again from there within the same call. So junk in front of a frame, a
// corrupt length or a frame cut off by a broken connection costs only the
// bytes before the next opening mark, and the buffer never holds more than
// one incomplete frame (at most MaxFrame bytes) beyond the last chunk.
//
// The buffer is the unread part of the last chunk behind whatever an earlier
// chunk left. The chunk is kept by reference (a QByteArray shares its bytes):
// frames that lie whole inside it are cut from it without a copy, and only
// a frame that straddles two chunks is copied, so an archive transfer is not
// copied once more on its way to the file.
class HistFrameExtractor {
public:
    // Takes the next chunk (empty: nothing new) and cuts at most one frame;
    // `left` is what is left in the buffer after a cut. The payload stays
    // valid until the next call.
    QByteArrayView extract(const QByteArray& chunk, qsizetype& left);
    QByteArrayView extract(QByteArrayView in, qsizetype& left) {
        return extract(in.isEmpty() ? QByteArray() : in.toByteArray(), left);
    }
    // What the buffer holds: one contiguous run between calls.
    QByteArrayView buffered() const {
        return ownLen() > 0 ? QByteArrayView(own_).sliced(head_)
                            : QByteArrayView(chunk_).sliced(at_);
    }

private:
    qsizetype ownLen() const { return own_.size() - head_; }
    qsizetype chunkLen() const { return chunk_.size() - at_; }
    qsizetype size() const { return ownLen() + chunkLen(); }
    char at(qsizetype i) const;
    qsizetype indexOf(char c, qsizetype from) const;
    void consume(qsizetype k);
    void contiguous(qsizetype k);
    void internalize();
    void clear();

    QByteArray own_; // bytes an earlier chunk left, from head_ on
    qsizetype head_ = 0;
    QByteArray chunk_; // the last chunk, from at_ on
    qsizetype at_ = 0;
};

} // namespace qxd
