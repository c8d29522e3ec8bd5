/* ENet's platform definitions for Windows, matching the Winsock layer in
   enet_winsock.c. The build copies this file beside ENet's enet.h as
   enet/win32.h, which enet.h includes when WIN32 is defined. */
#ifndef QUOR_ENET_WIN32_H
#define QUOR_ENET_WIN32_H

#include <stdlib.h>
#include <winsock2.h>

typedef SOCKET ENetSocket;

#define ENET_SOCKET_NULL INVALID_SOCKET

#define ENET_HOST_TO_NET_16(value) (htons (value))
#define ENET_HOST_TO_NET_32(value) (htonl (value))

#define ENET_NET_TO_HOST_16(value) (ntohs (value))
#define ENET_NET_TO_HOST_32(value) (ntohl (value))

/* One piece of a datagram. The Winsock layer copies these into WSABUFs, so
   the layout is free. */
typedef struct
{
    void * data;
    size_t dataLength;
} ENetBuffer;

#define ENET_CALLBACK __cdecl

/* Built as a static library only. */
#define ENET_API extern

typedef fd_set ENetSocketSet;

#define ENET_SOCKETSET_EMPTY(sockset)          FD_ZERO (& (sockset))
#define ENET_SOCKETSET_ADD(sockset, socket)    FD_SET (socket, & (sockset))
#define ENET_SOCKETSET_REMOVE(sockset, socket) FD_CLR (socket, & (sockset))
#define ENET_SOCKETSET_CHECK(sockset, socket)  FD_ISSET (socket, & (sockset))

/* Later ENet releases have this call; this layer supplies it for 1.3.5.
   Sets the address from a dotted IPv4 text without a name lookup; 0 on
   success, -1 when the text is not such an address. */
struct _ENetAddress;
extern int enet_address_set_host_ip (struct _ENetAddress * address, const char * hostName);

#endif /* QUOR_ENET_WIN32_H */
