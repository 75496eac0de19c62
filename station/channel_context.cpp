#include "station/channel_context.h"

#include <cstring>
#include <new>


CBufObj::CBufObj()
    : m_pPacket(new (std::nothrow) uint8_t[BUF_OBJ_SIZE]()),
      m_pData(new (std::nothrow) uint8_t[BUF_OBJ_SIZE]()),
      m_dwPacketSize(BUF_OBJ_SIZE),
      m_dwDataSize(BUF_OBJ_SIZE)
{
}

CBufObj::~CBufObj()
{
    delete[] m_pPacket;
    delete[] m_pData;
}

void CBufObj::ClearPacket()
{
    if (m_pPacket) std::memset(m_pPacket, 0, m_dwPacketSize);
}

void CBufObj::ClearData()
{
    if (m_pData) std::memset(m_pData, 0, m_dwDataSize);
}

void CBufObj::FillData(uint8_t byValue)
{
    if (m_pData) std::memset(m_pData, byValue, m_dwDataSize);
}
