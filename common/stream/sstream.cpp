#include "sstream.h"

#include <cstdint>
#include <cstring>

#include "except.h"
#include "root.h"

SimpleStream::SimpleStream(char* buffer, unsigned int size) {
    if (!buffer || size == 0) RAISE(IllegalArgsExc);
    Attach(buffer, size);
    m_ownedBuffer = nullptr;
}

SimpleStream::SimpleStream(unsigned int size) {
    if (size == 0) RAISE(IllegalArgsExc);
    char* buffer = RootNewChars(size);
    Attach(buffer, size);
    m_ownedBuffer = buffer;
}

SimpleStream::~SimpleStream() { RootFree(m_ownedBuffer); }

void SimpleStream::Attach(char* buffer, unsigned int size) {
    m_noTerminator = 0;
    m_pos = m_begin = m_eof = buffer;
    m_end = buffer + size;
}

SimpleStream& SimpleStream::operator<<(uint32_t value) {
    if (RoomBefore(m_end) < sizeof value) RAISE(BufferOverflowExc);
    std::memcpy(m_pos, &value, sizeof value);
    m_pos += sizeof value;
    RaiseEof();
    return *this;
}

SimpleStream& SimpleStream::operator<<(unsigned long value) {
    if (value > UINT32_MAX) RAISE(OutOfRangeExc);
    return *this << uint32_t(value);
}

SimpleStream& SimpleStream::operator<<(const char* text) {
    if (!text) RAISE(IllegalArgsExc);
    // One byte stays free for the terminator.
    const char* limit = m_noTerminator ? m_end : m_end - 1;
    size_t length = std::strlen(text);
    size_t room = RoomBefore(limit);
    if (length > room) {
        std::memcpy(m_pos, text, room);
        m_pos += room;
        RAISE(BufferOverflowExc);
    }
    std::memcpy(m_pos, text, length);
    m_pos += length;
    if (!m_noTerminator) {
        if (m_pos >= m_end) RAISE(BufferOverflowExc);
        *m_pos++ = 0;
    }
    RaiseEof();
    return *this;
}

SimpleStream& SimpleStream::operator<<(char c) {
    if (RoomBefore(m_end) < 1) RAISE(BufferOverflowExc);
    *m_pos++ = c;
    RaiseEof();
    return *this;
}

SimpleStream& SimpleStream::operator>>(uint32_t& value) {
    if (Remaining() < sizeof value) RAISE(BufferOverflowExc);
    std::memcpy(&value, m_pos, sizeof value);
    m_pos += sizeof value;
    return *this;
}

SimpleStream& SimpleStream::operator>>(unsigned long& value) {
    uint32_t item = 0;
    *this >> item;
    value = item;
    return *this;
}

SimpleStream& SimpleStream::operator>>(char& c) {
    if (Remaining() < 1) RAISE(BufferOverflowExc);
    c = *m_pos++;
    return *this;
}

SimpleStream& SimpleStream::operator>>(char* dst) {
    return ReadString(dst, SIZE_MAX);
}

SimpleStream& SimpleStream::ReadString(char* dst, size_t size) {
    if (!dst || size == 0) RAISE(IllegalArgsExc);
    size_t available = Remaining();
    const char* zero = static_cast<const char*>(std::memchr(m_pos, 0, available));
    size_t length = zero ? size_t(zero - m_pos) : available;
    if (length >= size) RAISE(CorruptDataExc);
    std::memcpy(dst, m_pos, length);
    m_pos += length;
    if (!m_noTerminator) {
        dst[length] = 0;
        if (zero) ++m_pos;
    }
    return *this;
}

void SimpleStream::Write(const char* block, int count) {
    if (count < 0 || (count > 0 && !block)) RAISE(IllegalArgsExc);
    if (RoomBefore(m_end) < size_t(count)) RAISE(OutOfRangeExc);
    if (count > 0) std::memcpy(m_pos, block, size_t(count));
    m_pos += count;
    RaiseEof();
}

void SimpleStream::Read(char* block, int count) {
    if (count < 0 || (count > 0 && !block)) RAISE(IllegalArgsExc);
    if (RoomBefore(m_end) < size_t(count)) RAISE(OutOfRangeExc);
    if (count > 0) std::memcpy(block, m_pos, size_t(count));
    m_pos += count;
}

void SimpleStream::SetEof(unsigned long length) {
    if (length > Capacity()) RAISE(OutOfRangeExc);
    m_eof = m_begin + length;
    if (m_pos > m_eof) m_pos = m_eof;
}

SimpleStream& SimpleStream::Write(SimpleStream& s) { return RootObject::Write(s); }

SimpleStream& SimpleStream::Read(SimpleStream& s) { return RootObject::Read(s); }
