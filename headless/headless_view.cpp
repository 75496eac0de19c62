#include "headless/headless_view.h"

#include <cstdio>

#include "station/model_ticks.h"
#include "station/outcome.h"
#include "station/station_core.h"
#include "station/text_format.h"

CHeadlessView::CHeadlessView(CVarnDLCore& core, const OPTIONS& opt, CTerminalOutput& out, CLiveView* pLive)
    : m_core(core), m_opt(opt), m_out(out), m_pLive(pLive)
{
}

void CHeadlessView::OnBarChanged(int nCh)
{
    if (nCh < 0 || nCh >= MAX_CHANNEL) return;
    if (m_fnChannel) m_fnChannel(nCh, false);
    if (m_pLive) return;
    const BAR_STATE state = m_core.m_ctrlProgress[nCh].GetState();
    std::lock_guard<std::mutex> lock(m_csLast);
    // Plain output shows the text as it changes; JSON every change of text, fill or colour.
    BAR_STATE& last = m_aLast[nCh];
    const bool bSameText = m_bHaveText[nCh] && state.strText == last.strText;
    const bool bSameLook = state.nPercent == last.nPercent && state.byRed == last.byRed &&
                           state.byGreen == last.byGreen && state.byBlue == last.byBlue;
    if (bSameText && (!m_opt.bJson || bSameLook)) return;
    m_bHaveText[nCh] = true;
    last = state;
    if (m_opt.bJson) {
        char szTail[64];
        std::snprintf(szTail, sizeof(szTail), ",\"percent\":%d,\"color\":\"#%02x%02x%02x\"}\n",
                      state.nPercent, state.byRed, state.byGreen, state.byBlue);
        m_out.Append(JsonHead("bar", nCh) + ",\"text\":" + TEXT_JsonString(state.strText) + szTail);
    } else {
        m_out.Append(PlainHead(nCh) + "bar " + TERMINAL_PlainText(TERMINAL_Chomp(state.strText)) + "\n");
    }
}

void CHeadlessView::OnLogLine(int nCh, const std::string& strLine)
{
    if (m_pLive) return;
    if (m_opt.bJson)
        m_out.Append(JsonHead("log", nCh) + ",\"text\":" + TEXT_JsonString(strLine) + "}\n");
    else
        m_out.Append(PlainHead(nCh) + "log " + TERMINAL_PlainText(TERMINAL_Chomp(strLine)) + "\n");
}

void CHeadlessView::OnPortText(int nCh, const std::string& strText)
{
    if (m_pLive) return;
    if (m_opt.bJson)
        m_out.Append(JsonHead("port", nCh) + ",\"text\":" + TEXT_JsonString(strText) + "}\n");
    else
        m_out.Append(PlainHead(nCh) + "port " + TERMINAL_PlainText(strText) + "\n");
}

int CHeadlessView::AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                            const std::atomic<uint32_t>&)
{
    const bool bYes = m_opt.bYesToMismatch;
    if (m_pLive)
        m_pLive->Note(PlainHead(nCh) + "question " + TERMINAL_PlainText(strCaption) + ": answered " +
                      (bYes ? "Yes" : "No"));
    else if (m_opt.bJson)
        m_out.Append(JsonHead("question", nCh) + ",\"caption\":" + TEXT_JsonString(strCaption) +
                     ",\"text\":" + TEXT_JsonString(strText) + ",\"answer\":\"" +
                     (bYes ? "yes" : "no") + "\"}\n");
    else
        m_out.Append(PlainHead(nCh) + "question " + TERMINAL_PlainText(strCaption) + ": answered " +
                     (bYes ? "Yes" : "No") + "\n");
    return bYes ? IDYES : IDNO;
}

void CHeadlessView::ShowMessage(int nCh, const std::string& strText, const std::atomic<uint32_t>&)
{
    if (m_pLive)
        m_pLive->Note(PlainHead(nCh) + "message " + TERMINAL_PlainText(strText));
    else if (m_opt.bJson)
        m_out.Append(JsonHead("message", nCh) + ",\"text\":" + TEXT_JsonString(strText) + "}\n");
    else
        m_out.Append(PlainHead(nCh) + "message " + TERMINAL_PlainText(strText) + "\n");
}

void CHeadlessView::OnChannelEnded(int nCh)
{
    if (m_fnChannel && nCh >= 0 && nCh < MAX_CHANNEL) m_fnChannel(nCh, true);
    if (m_pLive) return;
    const CHANNEL_OUTCOME outcome = OUTCOME_Get(m_core, nCh);
    const std::string strCause = OUTCOME_StopText(outcome.stop);
    if (m_opt.bJson) {
        std::string str = JsonHead("outcome", nCh) + ",\"outcome\":\"" +
                          OUTCOME_KindName(outcome.eKind) + "\",\"step\":" +
                          TEXT_JsonString(outcome.strStep) + ",\"result\":" +
                          TEXT_JsonString(OUTCOME_ResultText(outcome)) + ",\"cause\":" +
                          (strCause.empty() ? std::string("null") : TEXT_JsonString(strCause)) +
                          ",\"written\":[";
        for (size_t i = 0; i < outcome.astrWritten.size(); ++i)
            str.append(i == 0 ? "" : ",").append(TEXT_JsonString(outcome.astrWritten[i]));
        str += "],\"skipped\":[";
        for (size_t i = 0; i < outcome.aSkipped.size(); ++i)
            str.append(i == 0 ? "" : ",").append(TEXT_JsonString(outcome.aSkipped[i].strRegion));
        m_out.Append(str + "]}\n");
        return;
    }
    std::string str = PlainHead(nCh) + "outcome " + OUTCOME_KindName(outcome.eKind) + " in " +
                      outcome.strStep + ": " + TERMINAL_PlainText(OUTCOME_ResultText(outcome));
    if (!strCause.empty()) str += " (" + strCause + ")";
    m_out.Append(str + "\n");
}

void CHeadlessView::OnWatchEnded(uint32_t nPassed, uint32_t nNotPassed)
{
    const std::string strPassed = std::to_string(nPassed), strNot = std::to_string(nNotPassed);
    if (m_opt.bJson)
        m_out.Append(JsonHead("summary", -1) + ",\"passed\":" + strPassed + ",\"not_passed\":" + strNot + "}\n");
    else
        m_out.Append(PlainHead(-1) + "phones passed " + strPassed + ", not passed " + strNot + "\n");
}

std::string CHeadlessView::JsonHead(const char* szType, int nCh)
{
    return std::string("{\"type\":\"") + szType + "\",\"channel\":" + std::to_string(nCh);
}

std::string CHeadlessView::PlainHead(int nCh)
{
    return nCh >= 0 ? "[CH" + std::to_string(nCh) + "] " : std::string("[STATION] ");
}

void CHeadlessImageControls::ApplyStoredTicks() { MODEL_TICKS_ApplyStored(m_core); }

void CHeadlessImageControls::ShowMessage(const std::string& strText)
{
    std::fprintf(stderr, "quillon-flash: %s\n", TERMINAL_PlainText(strText).c_str());
}
