/* ENet's platform layer on Winsock 2: start-up and shut-down, the
   millisecond clock, address lookup, and the socket operations of ENet's
   interface (ENet's host uses the datagram ones: create, bind, options,
   send, receive, wait).

   Windows' datagram sockets differ from POSIX ones in ways a plain
   translation would turn into failures of ENet's service call:
   - a datagram larger than the buffer (WSAEMSGSIZE, or MSG_PARTIAL) is
     consumed either way; it is dropped here like any garbage datagram;
   - an ICMP "port unreachable" answer to an earlier send (a server that is
     down) is reported as WSAECONNRESET on a later receive; those reports
     are switched off when the socket is created and ignored if one still
     arrives;
   - a socket that has neither been bound nor sent anything is not bound
     yet, and receiving or waiting on it fails with WSAEINVAL; that means
     there is nothing to receive. */

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif

#include <enet/enet.h>

#include <mmsystem.h>
#include <string.h>
#include <ws2tcpip.h>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW (IOC_VENDOR, 12)
#endif

static enet_uint32 timeBase = 0;

int
enet_initialize (void)
{
    WSADATA data;

    if (WSAStartup (MAKEWORD (2, 2), & data) != 0)
      return -1;
    if (LOBYTE (data.wVersion) != 2 || HIBYTE (data.wVersion) != 2)
    {
        WSACleanup ();
        return -1;
    }
    /* The timer's default resolution of about 15 ms would stretch every
       short wait of ENet and of the program's polling loops. */
    timeBeginPeriod (1);
    return 0;
}

void
enet_deinitialize (void)
{
    timeEndPeriod (1);
    WSACleanup ();
}

enet_uint32
enet_time_get (void)
{
    return (enet_uint32) timeGetTime () - timeBase;
}

void
enet_time_set (enet_uint32 newTimeBase)
{
    timeBase = (enet_uint32) timeGetTime () - newTimeBase;
}

int
enet_address_set_host_ip (ENetAddress * address, const char * name)
{
    struct in_addr in;

    if (inet_pton (AF_INET, name, & in) != 1)
      return -1;
    address -> host = in.s_addr;
    return 0;
}

int
enet_address_set_host (ENetAddress * address, const char * name)
{
    struct addrinfo hints, * results = NULL, * result;
    int found = -1;

    memset (& hints, 0, sizeof (hints));
    hints.ai_family = AF_INET;
    if (getaddrinfo (name, NULL, & hints, & results) != 0)
      return -1;
    for (result = results; result != NULL; result = result -> ai_next)
    {
        if (result -> ai_family == AF_INET && result -> ai_addr != NULL &&
            result -> ai_addrlen >= sizeof (struct sockaddr_in))
        {
            address -> host = ((const struct sockaddr_in *) result -> ai_addr) -> sin_addr.s_addr;
            found = 0;
            break;
        }
    }
    freeaddrinfo (results);
    return found;
}

int
enet_address_get_host_ip (const ENetAddress * address, char * name, size_t nameLength)
{
    struct in_addr in;

    in.s_addr = address -> host;
    if (inet_ntop (AF_INET, & in, name, nameLength) == NULL)
      return -1;
    return 0;
}

int
enet_address_get_host (const ENetAddress * address, char * name, size_t nameLength)
{
    struct sockaddr_in sin;

    memset (& sin, 0, sizeof (sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address -> host;
    if (nameLength > MAXDWORD ||
        getnameinfo ((const struct sockaddr *) & sin, sizeof (sin), name, (DWORD) nameLength,
                     NULL, 0, NI_NAMEREQD) != 0)
      return enet_address_get_host_ip (address, name, nameLength);
    return 0;
}

static void
toSocketAddress (const ENetAddress * address, struct sockaddr_in * sin)
{
    memset (sin, 0, sizeof (* sin));
    sin -> sin_family = AF_INET;
    if (address != NULL)
    {
        sin -> sin_port = ENET_HOST_TO_NET_16 (address -> port);
        sin -> sin_addr.s_addr = address -> host;
    }
    else
    {
        sin -> sin_port = 0;
        sin -> sin_addr.s_addr = INADDR_ANY;
    }
}

static void
fromSocketAddress (const struct sockaddr_in * sin, ENetAddress * address)
{
    address -> host = (enet_uint32) sin -> sin_addr.s_addr;
    address -> port = ENET_NET_TO_HOST_16 (sin -> sin_port);
}

ENetSocket
enet_socket_create (ENetSocketType type)
{
    ENetSocket result = socket (PF_INET, type == ENET_SOCKET_TYPE_DATAGRAM ? SOCK_DGRAM : SOCK_STREAM, 0);

    if (result != INVALID_SOCKET && type == ENET_SOCKET_TYPE_DATAGRAM)
    {
        BOOL report = FALSE;
        DWORD returned = 0;
        WSAIoctl (result, SIO_UDP_CONNRESET, & report, sizeof (report), NULL, 0, & returned, NULL, NULL);
    }
    return result;
}

int
enet_socket_bind (ENetSocket socket, const ENetAddress * address)
{
    struct sockaddr_in sin;

    toSocketAddress (address, & sin);
    return bind (socket, (const struct sockaddr *) & sin, sizeof (sin)) == SOCKET_ERROR ? -1 : 0;
}

int
enet_socket_listen (ENetSocket socket, int backlog)
{
    return listen (socket, backlog < 0 ? SOMAXCONN : backlog) == SOCKET_ERROR ? -1 : 0;
}

int
enet_socket_set_option (ENetSocket socket, ENetSocketOption option, int value)
{
    int result = SOCKET_ERROR;
    u_long nonBlocking;
    DWORD milliseconds;

    switch (option)
    {
        case ENET_SOCKOPT_NONBLOCK:
            nonBlocking = (u_long) value;
            result = ioctlsocket (socket, FIONBIO, & nonBlocking);
            break;
        case ENET_SOCKOPT_BROADCAST:
            result = setsockopt (socket, SOL_SOCKET, SO_BROADCAST, (const char *) & value, sizeof (int));
            break;
        case ENET_SOCKOPT_REUSEADDR:
            result = setsockopt (socket, SOL_SOCKET, SO_REUSEADDR, (const char *) & value, sizeof (int));
            break;
        case ENET_SOCKOPT_RCVBUF:
            result = setsockopt (socket, SOL_SOCKET, SO_RCVBUF, (const char *) & value, sizeof (int));
            break;
        case ENET_SOCKOPT_SNDBUF:
            result = setsockopt (socket, SOL_SOCKET, SO_SNDBUF, (const char *) & value, sizeof (int));
            break;
        case ENET_SOCKOPT_RCVTIMEO:
            milliseconds = (DWORD) value;
            result = setsockopt (socket, SOL_SOCKET, SO_RCVTIMEO, (const char *) & milliseconds, sizeof (milliseconds));
            break;
        case ENET_SOCKOPT_SNDTIMEO:
            milliseconds = (DWORD) value;
            result = setsockopt (socket, SOL_SOCKET, SO_SNDTIMEO, (const char *) & milliseconds, sizeof (milliseconds));
            break;
        default:
            break;
    }
    return result == SOCKET_ERROR ? -1 : 0;
}

int
enet_socket_connect (ENetSocket socket, const ENetAddress * address)
{
    struct sockaddr_in sin;

    toSocketAddress (address, & sin);
    if (connect (socket, (const struct sockaddr *) & sin, sizeof (sin)) == SOCKET_ERROR &&
        WSAGetLastError () != WSAEWOULDBLOCK)
      return -1;
    return 0;
}

ENetSocket
enet_socket_accept (ENetSocket socket, ENetAddress * address)
{
    struct sockaddr_in sin;
    int sinLength = sizeof (sin);
    SOCKET result = accept (socket,
                            address != NULL ? (struct sockaddr *) & sin : NULL,
                            address != NULL ? & sinLength : NULL);

    if (result == INVALID_SOCKET)
      return ENET_SOCKET_NULL;
    if (address != NULL)
      fromSocketAddress (& sin, address);
    return result;
}

int
enet_socket_shutdown (ENetSocket socket, ENetSocketShutdown how)
{
    /* ENet's values are those of SD_RECEIVE, SD_SEND and SD_BOTH. */
    return shutdown (socket, (int) how) == SOCKET_ERROR ? -1 : 0;
}

void
enet_socket_destroy (ENetSocket socket)
{
    if (socket != INVALID_SOCKET)
      closesocket (socket);
}

/* Copies ENet's buffer list into Winsock's; false when it does not fit. */
static int
toWinsockBuffers (const ENetBuffer * buffers, size_t bufferCount, WSABUF * pieces)
{
    size_t i;

    if (bufferCount > ENET_BUFFER_MAXIMUM)
      return 0;
    for (i = 0; i < bufferCount; ++ i)
    {
        if (buffers [i].dataLength > MAXDWORD)
          return 0;
        pieces [i].buf = (CHAR *) buffers [i].data;
        pieces [i].len = (ULONG) buffers [i].dataLength;
    }
    return 1;
}

int
enet_socket_send (ENetSocket socket,
                  const ENetAddress * address,
                  const ENetBuffer * buffers,
                  size_t bufferCount)
{
    WSABUF pieces [ENET_BUFFER_MAXIMUM];
    struct sockaddr_in sin;
    DWORD sentLength = 0;

    if (! toWinsockBuffers (buffers, bufferCount, pieces))
      return -1;
    if (address != NULL)
      toSocketAddress (address, & sin);
    if (WSASendTo (socket, pieces, (DWORD) bufferCount, & sentLength, 0,
                   address != NULL ? (const struct sockaddr *) & sin : NULL,
                   address != NULL ? (int) sizeof (sin) : 0,
                   NULL, NULL) == SOCKET_ERROR)
      return WSAGetLastError () == WSAEWOULDBLOCK ? 0 : -1;
    return (int) sentLength;
}

int
enet_socket_receive (ENetSocket socket,
                     ENetAddress * address,
                     ENetBuffer * buffers,
                     size_t bufferCount)
{
    WSABUF pieces [ENET_BUFFER_MAXIMUM];
    struct sockaddr_in sin;
    int sinLength = sizeof (sin);
    DWORD flags = 0, receivedLength = 0;

    if (! toWinsockBuffers (buffers, bufferCount, pieces))
      return -1;
    if (WSARecvFrom (socket, pieces, (DWORD) bufferCount, & receivedLength, & flags,
                     address != NULL ? (struct sockaddr *) & sin : NULL,
                     address != NULL ? & sinLength : NULL,
                     NULL, NULL) == SOCKET_ERROR)
    {
        switch (WSAGetLastError ())
        {
            case WSAEWOULDBLOCK:
            case WSAECONNRESET:
            case WSAEMSGSIZE:
            case WSAEINVAL:
                return 0;
            default:
                return -1;
        }
    }
    if (flags & MSG_PARTIAL)
      return 0;
    if (address != NULL)
      fromSocketAddress (& sin, address);
    return (int) receivedLength;
}

int
enet_socketset_select (ENetSocket maxSocket, ENetSocketSet * readSet, ENetSocketSet * writeSet, enet_uint32 timeout)
{
    struct timeval timeVal;

    (void) maxSocket; /* Winsock's select ignores the count */
    timeVal.tv_sec = timeout / 1000;
    timeVal.tv_usec = (timeout % 1000) * 1000;
    return select (0, readSet, writeSet, NULL, & timeVal);
}

int
enet_socket_wait (ENetSocket socket, enet_uint32 * condition, enet_uint32 timeout)
{
    fd_set readSet, writeSet;
    struct timeval timeVal;
    int selectCount;

    timeVal.tv_sec = timeout / 1000;
    timeVal.tv_usec = (timeout % 1000) * 1000;
    FD_ZERO (& readSet);
    FD_ZERO (& writeSet);
    if (* condition & ENET_SOCKET_WAIT_SEND)
      FD_SET (socket, & writeSet);
    if (* condition & ENET_SOCKET_WAIT_RECEIVE)
      FD_SET (socket, & readSet);

    selectCount = select (0, & readSet, & writeSet, NULL, & timeVal);
    if (selectCount == SOCKET_ERROR)
    {
        if (WSAGetLastError () != WSAEINVAL)
          return -1;
        /* Not bound yet: nothing can arrive before the first send. */
        Sleep (timeout);
        selectCount = 0;
    }

    * condition = ENET_SOCKET_WAIT_NONE;
    if (selectCount == 0)
      return 0;
    if (FD_ISSET (socket, & writeSet))
      * condition |= ENET_SOCKET_WAIT_SEND;
    if (FD_ISSET (socket, & readSet))
      * condition |= ENET_SOCKET_WAIT_RECEIVE;
    return 0;
}
