// The socket layer: the few calls on a TCP socket whose form differs between
// POSIX sockets and Winsock. A socket is an int, -1 for none; an error is the
// number GetSockError() returns right after the failed call.
#pragma once

#include <string>

struct sockaddr;

// Readies the platform's sockets once, before the first one; false when they
// cannot be used. CleanupSockets releases them at the end.
bool InitSockets();
void CleanupSockets();
int GetSockError();

namespace RTMP_LIB {

// What a failure means to the connection: its break reasons name these.
bool SockErrorIsTimeout(int nError);    // the receive timeout ran out
bool SockErrorIsWouldBlock(int nError); // a read that must not wait found nothing
bool SockErrorIsReset(int nError);      // reset or aborted by the peer or the network
bool SockErrorIsInterrupt(int nError);  // a signal or a console interrupt
// The words for an error, as the C library says them on Linux.
std::string SockErrorText(int nError);
// The error of a connect that ran out of time, and of a TLS record that
// could not be read or written.
int SockTimedOutError();
int SockProtocolError();

int SockOpen(int nFamily, int nType, int nProtocol);
void SockClose(int s);
// Bounds each wait for received bytes (0: no bound).
bool SockSetReceiveTimeout(int s, long nSeconds);
// Connects within nWaitMS (negative: no limit), so that a host that drops
// the connection attempt costs the timeout and not the system's minutes.
// 0, or the error.
int SockConnect(int s, const struct sockaddr *pAddress, unsigned int nLength, int nWaitMS);
// Like recv: bytes read, 0 at the peer's close, -1 on an error. With
// bNoWait only what has already arrived is taken.
int SockRecv(int s, char *buffer, int n, bool bNoWait);
// Like send, without the signal a write to a closed connection raises.
int SockSend(int s, const char *buffer, int n);
// The host is a numeric IPv4 or IPv6 address.
bool IsIpLiteral(const char *szHost);
// Ends every wait of the socket layer now and from then on with an interrupt
// error, as a signal does on POSIX. For a console control handler, which
// runs on its own thread.
void InterruptSockets();

}  // namespace RTMP_LIB
