#include "console/socket_watch.h"

#include <QSocketNotifier>

namespace {

class CSocketWatch final : public IReadWatch {
public:
    CSocketWatch(int fd, std::function<void()> fnReadable)
        : m_pNotifier(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read))
    {
        QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, m_pNotifier.get(),
                         [fnReadable = std::move(fnReadable)] { fnReadable(); });
    }

    void EndWithin() override
    {
        // A notifier must not be deleted inside its own signal: it goes once the loop is back.
        m_pNotifier->setEnabled(false);
        m_pNotifier.release()->deleteLater();
        delete this;
    }

private:
    std::unique_ptr<QSocketNotifier> m_pNotifier;
};

}  // namespace

std::unique_ptr<IReadWatch> SOCKET_WATCH_Make(int fd, std::function<void()> fnReadable)
{
    return std::make_unique<CSocketWatch>(fd, std::move(fnReadable));
}
