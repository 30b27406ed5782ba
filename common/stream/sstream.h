/// @file
/// SimpleStream: the fixed-capacity byte buffer through which every object
/// crosses the pipe. Items follow one another with no tags, counts or padding:
/// @verbatim
///   unsigned long  4 bytes, a 32-bit value in host byte order
///   string         its bytes and one zero byte
///   char           1 byte
///   raw block      exactly the bytes given
/// @endverbatim
/// A stream never grows: an item that does not fit raises.
#ifndef VELMOX_SSTREAM_H
#define VELMOX_SSTREAM_H

#include <cstddef>
#include <cstdint>

#include "rootobj.h"

/// A fixed-capacity buffer of items, with a position and an end of data
/// (see the file's description).
class SimpleStream : public RootObject {
public:
    /// Wraps the caller's buffer, which stays the caller's.
    /// Raises IllegalArgsExc for a null buffer or a size of 0.
    SimpleStream(char* buffer, unsigned int size);
    /// Allocates a buffer of size bytes (not cleared), freed by the destructor.
    /// Raises IllegalArgsExc for a size of 0, OutOfMemoryExc when refused.
    explicit SimpleStream(unsigned int size);
    ~SimpleStream() override;
    /// A stream may own its buffer: it is not copied.
    SimpleStream(const SimpleStream&) = delete;
    SimpleStream& operator=(const SimpleStream&) = delete;

    ///@{
    /// Insertion. Typed items raise BufferOverflowExc when they do not fit
    /// before the end of the buffer; a null string raises IllegalArgsExc.
    /// A string that runs out of room keeps the bytes that fitted but does not
    /// move the end of data.
    SimpleStream& operator<<(uint32_t value);
    SimpleStream& operator<<(const char* text);
    SimpleStream& operator<<(char c);
    ///@}
    /// The documented form: the value as the same 4-byte item. A value that
    /// does not fit 32 bits raises OutOfRangeExc before anything moves; it is
    /// never cut.
    SimpleStream& operator<<(unsigned long value);

    /// Extraction. Typed items raise BufferOverflowExc when they are not there
    /// before the end of data.
    SimpleStream& operator>>(uint32_t& value);
    /// The documented form: the 4-byte item into an unsigned long (the whole
    /// variable is set). The variable keeps its value when the item is not
    /// there.
    SimpleStream& operator>>(unsigned long& value);
    /// One byte. Raises BufferOverflowExc when it is not there.
    SimpleStream& operator>>(char& c);
    /// Copies a string without a bound on dst: dst must hold the longest string
    /// the writer can produce. Received data goes through ReadString instead.
    SimpleStream& operator>>(char* dst);
    /// Copies a string into dst of `size` bytes. A string of `size` characters
    /// or more raises CorruptDataExc before anything moves; a null dst or a
    /// size of 0 raises IllegalArgsExc.
    SimpleStream& ReadString(char* dst, size_t size);
    /// The same into a character array, whose size is the bound.
    template <size_t N>
    SimpleStream& ReadString(char (&dst)[N]) { return ReadString(dst, N); }

    ///@{
    /// Raw blocks: OutOfRangeExc when the block reaches past the end of the
    /// buffer (Read looks at the buffer's end, not at the end of data);
    /// IllegalArgsExc for a negative count or a null address with a count.
    void Write(const char* block, int count);
    void Read(char* block, int count);
    ///@}

    /// Sets the length of the data, measured from the start; moves the position
    /// back to the new end when it lies beyond it. OutOfRangeExc when the
    /// length exceeds the capacity (an unsigned long, so that no length is
    /// cut to 32 bits on its way in).
    void SetEof(unsigned long length);

    ///@{
    /// A stream puts nothing of itself on the pipe.
    SimpleStream& Write(SimpleStream& s) override;
    SimpleStream& Read(SimpleStream& s) override;
    ///@}

    /// The start of the buffer.
    char* Data() const { return m_begin; }
    /// Bytes of data: from the start to the end of data.
    uint32_t Length() const { return uint32_t(m_eof - m_begin); }
    /// Bytes of the buffer.
    uint32_t Capacity() const { return uint32_t(m_end - m_begin); }
    /// Bytes of data between the position and the end of data (0 when the
    /// position stands beyond it).
    uint32_t Remaining() const { return m_pos < m_eof ? uint32_t(m_eof - m_pos) : 0; }
    /// Moves the position to the start; the data stays.
    void Rewind() { m_pos = m_begin; }

    int32_t m_noTerminator;  ///< set directly by a user that wants bare strings
    char* m_pos;             ///< next byte to write or read
    char* m_begin;           ///< start of the buffer
    char* m_eof;             ///< one past the highest byte written
    char* m_end;             ///< end of the buffer
    char* m_ownedBuffer;     ///< the buffer when the stream allocated it

private:
    void Attach(char* buffer, unsigned int size);
    void RaiseEof() { if (m_pos > m_eof) m_eof = m_pos; }
    size_t RoomBefore(const char* limit) const { return m_pos < limit ? size_t(limit - m_pos) : 0; }
};

#endif
