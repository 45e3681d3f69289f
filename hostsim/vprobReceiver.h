// The receiving side of the event socket, as hubd has it: listen on
// R/var/run/ombrel/hubd-vprob.sock and read one record per connection.
// Shared by the tools that play hubd (hubdsink, hubd-alertmanager).
// No state; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The largest record the daemon builds is under 19 KiB.
constexpr size_t kVProbMaxRecordBytes = size_t{64} * 1024;

// Listens on the event socket (under KELD_ROOT). The socket is bound under a
// temporary name and renamed into place once it listens (replacing a stale
// socket), so a client that sees the file can connect at once. The listening
// descriptor, or -1 with *error set to a one-line reason.
int VProbReceiver_Listen(const char *tool, std::string *error);
// Accepts the next connection and reads it until EOF, the size cap or a
// 5-second silence. 1: *data holds what came (possibly nothing); 0: the
// client sent more than kVProbMaxRecordBytes (*data holds the first bytes);
// -1: accept failed for good (errno set).
int VProbReceiver_Next(int listener, std::vector<unsigned char> *data);
