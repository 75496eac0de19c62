#include "station/station_core.h"

#include <cstring>

CVarnDLCore::CVarnDLCore() : CImageSelection(this), m_pView(&m_NullView)
{
    for (int i = 0; i < MAX_CHANNEL; ++i) m_ctrlProgress[i].Bind(this, i);
}

void STATION_BindParam(ChannelThreadParam& param, CVarnDLCore& core, int nCh)
{
    param.pDlg = &core;
    param.nCh = nCh;
    param.pSink = &core.m_Sink;
    param.pState = &core.m_aChannel[nCh];
    param.pImages = &core;
}
