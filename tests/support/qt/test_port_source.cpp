#include "support/qt/test_port_source.h"

bool CTestPortSource::Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string&)
{
    m_fnEvent = std::move(fnEvent);
    aPresent = m_aPresent;
    return true;
}

PORT_EVENT CTestPortSource::Tty(const std::string& strDevNode, const std::string& strDriver, bool bArrival)
{
    PORT_EVENT ev;
    ev.bArrival = bArrival;
    ev.strDevNode = strDevNode;
    ev.strName = strDriver;
    return ev;
}

void CTestPortSource::Plug(const std::string& strDevNode, const std::string& strDriver)
{
    m_fnEvent(Tty(strDevNode, strDriver));
}

void CTestPortSource::Pull(const std::string& strDevNode) { m_fnEvent(Tty(strDevNode, "", false)); }

void CTestPortSource::PlugVirtual(const std::string& strDevNode, uint32_t nPort)
{
    PORT_EVENT ev = Tty(strDevNode, "");
    ev.nVirtualPort = nPort;
    m_fnEvent(ev);
}

void CTestPortSource::PullVirtual(const std::string& strDevNode, uint32_t nPort)
{
    PORT_EVENT ev = Tty(strDevNode, "", false);
    ev.nVirtualPort = nPort;
    m_fnEvent(ev);
}

std::vector<std::unique_ptr<IPortSource>> TEST_PORT_SOURCE_Only(std::unique_ptr<IPortSource> pSource)
{
    std::vector<std::unique_ptr<IPortSource>> apSources;
    apSources.push_back(std::move(pSource));
    return apSources;
}
