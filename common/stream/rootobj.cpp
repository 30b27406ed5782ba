#include "rootobj.h"

#include <cstring>

#include "root.h"

RootObject::~RootObject() {}

SimpleStream& RootObject::Write(SimpleStream& s) { return s; }

SimpleStream& RootObject::Read(SimpleStream& s) { return s; }

void* RootObject::operator new(size_t size) {
    void* block = RootAlloc(size);
    std::memset(block, 0, size);
    return block;
}

void RootObject::operator delete(void* block) { RootFree(block); }
