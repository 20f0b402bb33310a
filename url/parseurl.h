// RTMP URL parsing and the protocol numbering.
#pragma once

#define RTMP_PROTOCOL_RTMP 0
#define RTMP_PROTOCOL_RTMPT 1
#define RTMP_PROTOCOL_RTMPS 2
#define RTMP_PROTOCOL_RTMPE 3
#define RTMP_PROTOCOL_RTMPTE 4
#define RTMP_PROTOCOL_RTMFP 5

extern const char RTMPProtocolStrings[6][7];
extern const char RTMPProtocolStringsLower[6][7];

// Splits rtmp[t|s|e|te]|rtmfp://host[:port]/app/playpath; an IPv6 host stands
// in brackets ([::1]) and is returned without them. Outputs are written
// only when found; host, playpath and app are malloc'ed and owned by the caller.
bool ParseUrl(const char *url, int *protocol, char **host, unsigned int *port, char **playpath, char **app);

// A malloc'ed lower-case copy of the first n characters of str.
char *str2lower(const char *str, int n);
