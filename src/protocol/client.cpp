#include "protocol/client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "crypto/md5.h"
#include "protocol/owl_const.h"
#include "protocol/packetcipher.h"
#include "text/codecs.h"

namespace {

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool Resolve(const char* host, sockaddr_in& addr, String& err) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &list);
    if (rc != 0 || list == nullptr) {
        err = "cannot resolve ";
        err += host;
        return false;
    }
    memcpy(&addr, list->ai_addr, sizeof addr);
    freeaddrinfo(list);
    return true;
}

// Waits for sock to become ready for events until deadline; false on time-out.
bool WaitReady(int sock, short events, long long deadline) {
    for (;;) {
        long long left = deadline - NowMs();
        if (left <= 0) return false;
        struct pollfd pfd = {sock, events, 0};
        int rc = poll(&pfd, 1, (int)left);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return true;  // let the caller see the error
    }
}

}  // namespace

String BuildRequestText(const String& command, const std::vector<String>& params) {
    String text = command;
    text += '\n';
    for (const String& p : params) {
        text += owlEncodeStrings(p);
        text += '\n';
    }
    text += '\r';
    return text;
}

String BuildRequestPacket(const String& password, const String& sessionKey, const String& text) {
    String digest = EncodePswd(password);
    String key = EncodeData(sessionKey, password, 0);
    String request = EncodeData(text, sessionKey, 0);
    String body;
    body.AddChar((char)AUTH_BYTE1);
    body.AddChar((char)AUTH_BYTE2);
    body += EncodeLength(digest, 2);
    body += digest;
    body += EncodeLength(key, 2);
    body += key;
    body += EncodeLength(request, 4);
    body += request;
    return EncodeLength(body, 4) + body;
}

String NewSessionKey() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[16];
    if (getrandom(random, sizeof random, 0) != (ssize_t)sizeof random) {
        for (unsigned i = 0; i < sizeof random; i++) random[i] = (unsigned char)(rand() & 0xFF);
    }
    String key;
    for (unsigned char b : random) key.AddChar(kAlphabet[b % (sizeof kAlphabet - 1)]);
    return key;
}

int DecodeReplyPacket(const String& packet, const String& sessionKey, String& text) {
    if (packet.Length() < 4) return 0;
    unsigned n = (unsigned)DecodeLength(packet.Data(), 4);
    if ((long long)n + 4 != packet.Length()) return 0;
    text = DecodeData(packet.Copy(5, (int)n), sessionKey);
    return 1;
}

int ConnectAgent(const char* host, int port, int timeoutMs, String& err) {
    sockaddr_in addr;
    if (!Resolve(host, addr, err)) return -1;
    addr.sin_port = htons((uint16_t)port);
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock < 0) {
        err = strerror(errno);
        return -1;
    }
    int rc = connect(sock, (sockaddr*)&addr, sizeof addr);
    if (rc != 0 && errno == EINPROGRESS) {
        if (!WaitReady(sock, POLLOUT, NowMs() + timeoutMs)) {
            close(sock);
            err = "connection timed out";
            return -1;
        }
        int soerr = 0;
        socklen_t len = sizeof soerr;
        getsockopt(sock, SOL_SOCKET, SO_ERROR, &soerr, &len);
        rc = soerr == 0 ? 0 : -1;
        errno = soerr;
    }
    if (rc != 0) {
        err = strerror(errno);
        close(sock);
        return -1;
    }
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) & ~O_NONBLOCK);
    return sock;
}

int SendAll(int sock, const char* data, int len, String& err) {
    int sent = 0;
    while (sent < len) {
        ssize_t n = send(sock, data + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = strerror(errno);
            return 0;
        }
        sent += (int)n;
    }
    return 1;
}

int ReadReplyPacket(int sock, int timeoutMs, String& packet, String& err) {
    packet = "";
    long long deadline = NowMs() + timeoutMs;
    char buffer[4096];
    for (;;) {
        if (packet.Length() >= 4) {
            long long want = (long long)(unsigned)DecodeLength(packet.Data(), 4) + 4;
            if (packet.Length() >= want) return OWL_REPLY;
        }
        if (!WaitReady(sock, POLLIN, deadline)) {
            err = "no reply within the time-out";
            return OWL_TIMED_OUT;
        }
        ssize_t n = recv(sock, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = "the agent closed the connection without a reply";
            return OWL_NO_REPLY;
        }
        packet.AddData(buffer, (int)n);
    }
}

int ExchangePacket(const char* host, int port, const String& request, int timeoutMs, String& reply,
                   String& err) {
    int sock = ConnectAgent(host, port, timeoutMs, err);
    if (sock < 0) return OWL_CONNECT_FAILED;
    int result = OWL_NO_REPLY;
    if (SendAll(sock, request.Data(), request.Length(), err))
        result = ReadReplyPacket(sock, timeoutMs, reply, err);
    close(sock);
    return result;
}

int OwlRequest(const char* host, int port, const String& password, const String& command,
               const std::vector<String>& params, int timeoutMs, String& text, String& err) {
    String key = NewSessionKey();
    String packet = BuildRequestPacket(password, key, BuildRequestText(command, params));
    String reply;
    int result = ExchangePacket(host, port, packet, timeoutMs, reply, err);
    if (result != OWL_REPLY) return result;
    if (!DecodeReplyPacket(reply, key, text)) {
        err = "malformed reply packet";
        return OWL_NO_REPLY;
    }
    return OWL_REPLY;
}

String UpgradeDigest(const String& body) {
    MD5 context;
    unsigned char digest[16];
    MD5Open(&context);
    MD5Digest(&context, body.Data(), (unsigned)body.Length());
    MD5Close(&context, digest);
    String result;
    result.CopyData((const char*)digest, 16);
    return result;
}

int OwlUpgrade(const char* host, int port, const String& password, const String& body,
               const String& digest, int chunk, int pauseMs, int timeoutMs, String& firstText,
               String& finalText, String& err) {
    firstText = "";
    finalText = "";
    String key = NewSessionKey();
    char size[32];
    snprintf(size, sizeof size, "%d", body.Length());
    String request =
        BuildRequestPacket(password, key, BuildRequestText(String("UpgradeCode"), {String(size)}));
    int sock = ConnectAgent(host, port, timeoutMs, err);
    if (sock < 0) return OWL_CONNECT_FAILED;
    String packet;
    int result = OWL_NO_REPLY;
    if (SendAll(sock, request.Data(), request.Length(), err))
        result = ReadReplyPacket(sock, timeoutMs, packet, err);
    if (result == OWL_REPLY && !DecodeReplyPacket(packet, key, firstText)) result = OWL_NO_REPLY;
    if (result != OWL_REPLY || firstText.Pos("200\n") != 1) {
        close(sock);
        return result;
    }
    String stream = body + EncodeData(digest, key, 0);
    if (chunk <= 0) chunk = stream.Length();
    for (int sent = 0; sent < stream.Length(); sent += chunk) {
        int n = stream.Length() - sent < chunk ? stream.Length() - sent : chunk;
        if (!SendAll(sock, stream.Data() + sent, n, err)) break;
        if (pauseMs > 0) usleep(pauseMs * 1000);
    }
    result = ReadReplyPacket(sock, timeoutMs, packet, err);
    if (result == OWL_REPLY && !DecodeReplyPacket(packet, key, finalText)) result = OWL_NO_REPLY;
    close(sock);
    return result;
}
