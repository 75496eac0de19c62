#include "headless/read_watch.h"

#include <utility>

#include <poll.h>

struct CPollReadWatches::ENTRY {
    int fd = -1;
    std::function<void()> fnReadable;
    bool bGone = false;
};

namespace {

class CPollWatch final : public IReadWatch {
public:
    explicit CPollWatch(std::shared_ptr<CPollReadWatches::ENTRY> pEntry) : m_pEntry(std::move(pEntry)) {}
    ~CPollWatch() override { m_pEntry->bGone = true; }
    // The entry outlives this call: Poll holds it while its handler runs.
    void EndWithin() override { delete this; }

private:
    std::shared_ptr<CPollReadWatches::ENTRY> m_pEntry;
};

}  // namespace

READ_WATCH_FN CPollReadWatches::Maker()
{
    return [this](int fd, std::function<void()> fnReadable) -> std::unique_ptr<IReadWatch> {
        auto pEntry = std::make_shared<ENTRY>();
        pEntry->fd = fd;
        pEntry->fnReadable = std::move(fnReadable);
        m_apEntries.push_back(pEntry);
        return std::make_unique<CPollWatch>(pEntry);
    };
}

void CPollReadWatches::Poll(int nTimeoutMs)
{
    std::erase_if(m_apEntries, [](const std::shared_ptr<ENTRY>& p) { return p->bGone; });
    // A handler may add watches or end its own: it runs over a copy.
    const std::vector<std::shared_ptr<ENTRY>> apEntries = m_apEntries;
    std::vector<pollfd> afd;
    for (const auto& p : apEntries) afd.push_back({p->fd, POLLIN, 0});
    // An interrupt cuts the wait short.
    if (::poll(afd.data(), afd.size(), nTimeoutMs) <= 0) return;
    for (size_t i = 0; i < apEntries.size(); ++i)
        if ((afd[i].revents & (POLLIN | POLLHUP | POLLERR)) && !apEntries[i]->bGone) apEntries[i]->fnReadable();
}
