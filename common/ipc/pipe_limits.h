/// @file
/// The pipe's fixed facts, in one place: the gateway, the library, the
/// sample server task, the tools, the benchmarks and the tests all take them
/// from here.
#ifndef VELMOX_PIPE_LIMITS_H
#define VELMOX_PIPE_LIMITS_H

#include <cstddef>
#include <cstdint>

#ifndef VELMOX_PIPE_NAME
/// The base name under which the gateway finds its server task, and the
/// default of every program that takes a base name. A string literal, so
/// that usage texts can name it.
#define VELMOX_PIPE_NAME "/tmp/.velmox"
#endif
/// The base name under which the gateway finds its server task
/// (VELMOX_PIPE_NAME).
const char kGatewayPipeName[] = VELMOX_PIPE_NAME;

///@{
/// The pipe block that the gateway assumes and the sample server makes: a
/// 32-bit length word, then the message (request or answer).
const uint32_t kPipeBlockSize = 127952;
const uint32_t kLengthWordSize = 4;
///@}
/// The longest message a block of kPipeBlockSize carries.
const uint32_t kLargestMessage = kPipeBlockSize - kLengthWordSize;

///@{
/// Server slots of one base name, and the registry block that holds them
/// (two 32-bit words, then 16 bytes per slot).
const int kMaxServers = 64;
const unsigned long kRegistrySize = 1032;
///@}

///@{
/// Object names are formed in buffers of this size; the longest base name
/// leaves room for the longest suffix (".shm.63").
const int kNameBufferSize = 256;
const size_t kMaxBaseNameLength = 248;
///@}

///@{
/// Limits of a client's waits: for the registry lock, and for a free server.
const unsigned long kRegistryLockMs = 15000;
const unsigned long kFreeServerWaitMs = 60000;
///@}

#endif
