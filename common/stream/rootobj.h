/// @file
/// RootObject: the base of every serialisable class (the request record, the
/// request path, the commands and the stream). It gives a virtual destructor,
/// the Write/Read pair on a SimpleStream, and zero-filled allocation.
#ifndef VELMOX_ROOTOBJ_H
#define VELMOX_ROOTOBJ_H

#include <cstddef>

class SimpleStream;

/// The base of every serialisable class (see the file's description).
class RootObject {
public:
    RootObject() {}
    virtual ~RootObject();

    ///@{
    /// Each level writes (reads) its base first and then its own fields; the
    /// root contributes nothing and returns s.
    virtual SimpleStream& Write(SimpleStream& s);
    virtual SimpleStream& Read(SimpleStream& s);
    ///@}

    ///@{
    /// Every object created with new starts with all its bytes zero, and
    /// constructors rely on it. Raises as RootAlloc; never returns null.
    static void* operator new(size_t size);
    static void operator delete(void* block);
    ///@}
};

#endif
