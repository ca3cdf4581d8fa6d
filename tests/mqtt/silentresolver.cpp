// Preloaded into a helper process: every lookup of a name ending in
// ".silent" hangs the way one does whose DNS server never answers; other
// names go to the real resolver.

#include <cstring>

#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints, addrinfo **result)
{
    using Real = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    const char suffix[] = ".silent";
    const std::size_t length = node ? std::strlen(node) : 0;
    if (length >= sizeof suffix - 1 && std::strcmp(node + length - (sizeof suffix - 1), suffix) == 0) {
        for (;;)
            pause();
    }
    return real(node, service, hints, result);
}
