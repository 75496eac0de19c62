// The headless station as line scripts use it: its options, its exit status and its output,
// run as a separate program against virtual phones.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "images/model_table.h"
#include "records/result_record.h"
#include "sim/virtual_phone.h"
#include "station/version.h"
#include "support/e2e_station.h"
#include "support/images_fixture.h"
#include "support/sim_process.h"

namespace {

struct TOOL_RUN {
    int nExit = -1;
    std::string strOut;  // stdout and stderr together
};

TOOL_RUN RunTool(const std::vector<std::string>& astrArgs)
{
    std::string strCmd = QUILLON_BINARY_DIR "/quillon-flash";
    for (const std::string& str : astrArgs) strCmd += " '" + str + "'";
    strCmd += " 2>&1";
    TOOL_RUN run;
    FILE* p = ::popen(strCmd.c_str(), "r");
    if (!p) return run;
    char sz[4096];
    size_t n;
    while ((n = std::fread(sz, 1, sizeof(sz), p)) > 0) run.strOut.append(sz, n);
    const int nStatus = ::pclose(p);
    run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return run;
}

bool Contains(const std::string& strHay, const std::string& strNeedle)
{
    return strHay.find(strNeedle) != std::string::npos;
}

class QuillonFlash : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szDir[] = "/tmp/quillon-flash-test-XXXXXX";
        ASSERT_NE(::mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        std::string strError;
        ASSERT_TRUE(IMAGE_BUILDER_WriteStandardSet(m_strDir, 1, E2E_Sizes(), &m_Images, &strError))
            << strError;
    }
    void TearDown() override
    {
        for (auto& p : m_apPhone) p->Stop();
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
    std::string AddPhone(const PHONE_CONFIG& cfg = {})
    {
        m_apPhone.push_back(std::make_unique<CVirtualPhone>(cfg));
        EXPECT_TRUE(m_apPhone.back()->Start());
        return m_apPhone.back()->SlavePath();
    }
    // quillon-flash with the images (after the extra options) and the ports.
    std::vector<std::string> ToolArgs(const std::vector<std::string>& astrPorts,
                                      const std::vector<std::string>& astrExtra = {}) const
    {
        std::vector<std::string> a = {QUILLON_BINARY_DIR "/quillon-flash"};
        for (const std::string& str : Images()) a.push_back(str);
        a.insert(a.end(), astrExtra.begin(), astrExtra.end());
        a.insert(a.end(), astrPorts.begin(), astrPorts.end());
        return a;
    }
    std::vector<std::string> Images() const
    {
        return {"--phone", m_Images.strPhone, "--eboot", m_Images.strEboot,
                "--pda",   m_Images.strPda,   "--csc",   m_Images.strCsc,
                "--model", "3",               "--reboot-wait", "0"};
    }

    std::string m_strDir;
    IMAGE_SET m_Images;
    std::vector<std::unique_ptr<CVirtualPhone>> m_apPhone;
};

}  // namespace

TEST_F(QuillonFlash, UsageErrorsExitWithTwo)
{
    const std::string strPhone = m_Images.strPhone;
    ASSERT_EQ(::symlink("/dev/null", (m_strDir + "/null-link").c_str()), 0);
    const std::vector<std::vector<std::string>> aCases = {
        {},
        {"--phone", strPhone},                                   // no PORT
        {"/dev/null"},                                           // no Phone image
        {"--phone", strPhone, "--bogus", "/dev/null"},
        {"--phone", strPhone, "--model", "7", "/dev/null"},
        {"--phone", strPhone, "--model", "x", "/dev/null"},
        {"--phone", strPhone, "--select", "pboot,amss", "/dev/null"},
        {"--phone", strPhone, "--select", "pda", "/dev/null"},  // no PDA image
        {"--phone", strPhone, "--select", "", "/dev/null"},     // an empty shell variable
        {"--phone", strPhone, "--select", ",", "/dev/null"},
        {"--phone", strPhone, "--csc-priority", "2", "/dev/null"},
        {"--phone", strPhone, "--on-partition-mismatch", "maybe", "/dev/null"},
        {"--phone", strPhone, "--reboot-wait", "-1", "/dev/null"},
        {"--phone", strPhone, "/dev/a", "/dev/a"},
        {"--phone", strPhone, "/dev/null", m_strDir + "/null-link"},  // one device, two names
        {"--phone", strPhone, "1", "2", "3", "4", "5", "6", "7", "8", "9"},
        {"--phone"},
    };
    // One line that says what is wrong, not the whole usage.
    const std::regex oneLine("quillon-flash: [^\n]+ \\(try --help\\)\n");
    for (const auto& aArgs : aCases) {
        std::string strArgs;
        for (const auto& s : aArgs) strArgs += s + " ";
        const TOOL_RUN run = RunTool(aArgs);
        EXPECT_EQ(run.nExit, 2) << strArgs << "\n" << run.strOut;
        EXPECT_TRUE(std::regex_match(run.strOut, oneLine)) << strArgs << "\n" << run.strOut;
    }
    const std::pair<std::vector<std::string>, std::string> aSays[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--model=9"}, "--model takes a whole number from 0 to 6, not '9'"},
        {{"--p", "x"}, "--p is ambiguous: --phone, --pda, --plain"},
        {{"--json=1"}, "--json takes no value"},
    };
    for (const auto& [aArgs, strSays] : aSays) EXPECT_TRUE(Contains(RunTool(aArgs).strOut, strSays)) << strSays;
    // Abbreviations and --name=value work as the long forms do; -- ends the options.
    EXPECT_EQ(RunTool({"--phone=" + strPhone, "--stall=5", "--", "-not-a-port"}).nExit, 2);
    ::unlink((m_strDir + "/null-link").c_str());
    EXPECT_EQ(RunTool({"--help"}).nExit, 0);
    EXPECT_EQ(RunTool({"--version"}).strOut, std::string("quillon-flash ") + VERSION_NUMBER + "\n");
}

TEST_F(QuillonFlash, RefusedImageExitsWithTwoAndTheRefusalSentence)
{
    const std::string strBogus = m_strDir + "/bogus.bin";
    ImagesWriteBytes(strBogus, std::vector<uint8_t>(4096, 0x11));
    const std::string strPort = AddPhone();
    TOOL_RUN run = RunTool({"--phone", strBogus, strPort});
    EXPECT_EQ(run.nExit, 2);
    EXPECT_TRUE(Contains(run.strOut, "This File is not a Phone Image File!!")) << run.strOut;

    // A PDA file offered as the Eboot image is refused the same way.
    run = RunTool({"--phone", m_Images.strPhone, "--eboot", m_Images.strPda, strPort});
    EXPECT_EQ(run.nExit, 2);
    EXPECT_TRUE(Contains(run.strOut, "This File is not a Eboot Image File!!")) << run.strOut;
    EXPECT_EQ(m_apPhone[0]->RequestCount(), 0u);
}

TEST_F(QuillonFlash, TwoPhonesPassAndEveryLineNamesItsChannel)
{
    std::vector<std::string> aArgs = Images();
    aArgs.push_back(AddPhone());
    aArgs.push_back(AddPhone());
    const TOOL_RUN run = RunTool(aArgs);
    ASSERT_EQ(run.nExit, 0) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "[CH0] bar  Download PASS. [ ")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "[CH1] bar  Download PASS. [ "));
    EXPECT_TRUE(Contains(run.strOut, "[CH1] log [Channel 1]  FLASH LOCK Success!!!"));
    EXPECT_TRUE(Contains(run.strOut, "[CH0] bar  AMSS Flashing Image... 100%"));
    for (const auto& p : m_apPhone) EXPECT_TRUE(p->WaitLockCount(1, 5000));

    const VERIFY_IMAGES images = {m_Images.strPhone, "", m_Images.strPda, "", "", "", 1};
    EXPECT_EQ(E2E_CheckSlice(*m_apPhone[1], images, "PDA"), "");
}

TEST_F(QuillonFlash, JsonPrintsOneObjectPerLine)
{
    std::vector<std::string> aArgs = Images();
    aArgs.push_back("--json");
    aArgs.push_back(AddPhone());
    const TOOL_RUN run = RunTool(aArgs);
    ASSERT_EQ(run.nExit, 0) << run.strOut;
    size_t nLines = 0, nPos = 0;
    while (nPos < run.strOut.size()) {
        size_t nEnd = run.strOut.find('\n', nPos);
        if (nEnd == std::string::npos) nEnd = run.strOut.size();
        const std::string strLine = run.strOut.substr(nPos, nEnd - nPos);
        EXPECT_TRUE(strLine.size() > 2 && strLine.front() == '{' && strLine.back() == '}') << strLine;
        EXPECT_EQ(strLine.find('\r'), std::string::npos) << "raw line end inside: " << strLine;
        ++nLines;
        nPos = nEnd + 1;
    }
    EXPECT_GT(nLines, 20u);
    EXPECT_TRUE(Contains(run.strOut,
                         "{\"type\":\"log\",\"channel\":0,\"text\":\"[Channel 0]  FLASH UNLOCK\\r\\n\"}"))
        << run.strOut.substr(0, 2000);
    EXPECT_TRUE(Contains(run.strOut, "\"type\":\"bar\",\"channel\":0,\"text\":\" Download PASS. [ "));
    EXPECT_TRUE(Contains(run.strOut, "\"color\":\"#00ff00\""));

    // A file name that is not UTF-8 (here Latin-1 "t\xe9l\xe9phone") still gives valid JSON;
    // a UTF-8 name ("\xc3\xa9") passes unchanged.
    const std::string strLatin = m_strDir + "/t\xe9l\xe9phone-\xc3\xa9.bin";
    ASSERT_TRUE(std::filesystem::copy_file(m_Images.strPhone, strLatin));
    const TOOL_RUN refused = RunTool({"--json", "--phone", strLatin, "--eboot", m_Images.strPda, "/dev/null"});
    ::unlink(strLatin.c_str());
    EXPECT_EQ(refused.nExit, 2);
    EXPECT_TRUE(Contains(refused.strOut, "Open Phone image at : " + m_strDir + "/t\\u00e9l\\u00e9phone-\xc3\xa9.bin"))
        << refused.strOut;
    EXPECT_FALSE(Contains(refused.strOut, "t\xe9l")) << refused.strOut;
}

TEST_F(QuillonFlash, AFailedChannelExitsWithOne)
{
    PHONE_CONFIG refusing;
    refusing.faults.bRefuseUnlock = true;
    std::vector<std::string> aArgs = Images();
    aArgs.push_back(AddPhone(refusing));
    const TOOL_RUN run = RunTool(aArgs);
    EXPECT_EQ(run.nExit, 1) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "[CH0] bar  FLASH UNLOCK Fail !!!")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "[CH0] port NONE"));
}

TEST_F(QuillonFlash, PartitionMismatchIsAnsweredFromTheCommandLine)
{
    PHONE_CONFIG cfg;
    cfg.abyPartitionTable.assign(2048, 0x5A);
    std::vector<std::string> aArgs = Images();
    aArgs.push_back(AddPhone(cfg));
    TOOL_RUN run = RunTool(aArgs);  // the default answer is No
    EXPECT_EQ(run.nExit, 1) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "answered No"));

    aArgs.insert(aArgs.begin(), {"--on-partition-mismatch", "yes", "--hidden", m_Images.strHidden});
    run = RunTool(aArgs);
    EXPECT_EQ(run.nExit, 0) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "answered Yes"));
    EXPECT_TRUE(Contains(run.strOut, "[CH0] log [Channel 0]  HIDDEN Download Success!!"));
}

TEST_F(QuillonFlash, InterruptStopsTheChannelsAndExitsWithOne)
{
    // A phone that never answers its unlock keeps the channel waiting until somebody stops it;
    // an interrupt, a terminate and a hang-up (the line's terminal closed) must each stop the
    // run like a failed channel would, not leave the program hanging or kill it mid-frame.
    PHONE_CONFIG cfg;
    PHONE_FAULT_RULE silent;
    silent.nOpcode = 0xA0;
    silent.dwCount = 0;
    silent.eAction = FAULT_SILENCE;
    cfg.faults.aRules.push_back(silent);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(nSignal));
        const std::string strPort = AddPhone(cfg);
        CSimProcess tool;
        ASSERT_TRUE(tool.Start(ToolArgs({strPort})));
        ASSERT_TRUE(m_apPhone.back()->WaitRequestCount(1, 20000));
        tool.Signal(nSignal);
        EXPECT_EQ(tool.WaitExit(20000), 1) << tool.Output();
        EXPECT_TRUE(Contains(tool.Output(), "[CH0] port NONE")) << tool.Output();
        EXPECT_FALSE(Contains(tool.Output(), "Download PASS"));
        EXPECT_TRUE(Contains(tool.Output(), std::string("Run stopped: interrupted by SIG") +
                                                sigabbrev_np(nSignal)));
        EXPECT_TRUE(Contains(tool.Output(), "[CH0] outcome stopped in unlock: Stopped")) << tool.Output();
    }
}

TEST_F(QuillonFlash, WhatCannotBeAPortOrAnImageIsRefusedBeforeAnythingIsWritten)
{
    // A mistyped PORT naming a file must never receive an unlock frame.
    const std::string strFile = m_strDir + "/typo.bin";
    const std::vector<uint8_t> abyFile(4096, 0x5A);
    ImagesWriteBytes(strFile, abyFile);
    const std::string strFifo = m_strDir + "/fifo";
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);
    const std::string strPhone = AddPhone();
    const std::string strMissing = m_strDir + "/missing.bin";
    const struct {
        std::vector<std::string> astrArgs;
        std::string strSays;
    } aCases[] = {
        {ToolArgs({strPhone, strFile}),
         "PORT " + strFile + " is not a terminal device: a regular file"},
        {ToolArgs({"/dev/null"}), "is not a terminal device: not a terminal device"},
        {ToolArgs({m_strDir}), "is not a terminal device: a directory"},
        {ToolArgs({strFifo}), "is not a terminal device: a FIFO"},
        {ToolArgs({"/dev/tty"}), "is not a terminal device: a terminal alias, not a port"},
        {ToolArgs({strMissing}), "is not a terminal device: No such file or directory"},
        // An image that cannot be opened: the refusal says why after its own sentence.
        {ToolArgs({strPhone}, {"--phone", strMissing}),
         "This File is not a Phone Image File!! Cannot open it: No such file or directory (" +
             strMissing + ")"},
        {ToolArgs({strPhone}, {"--pda", m_strDir}),
         "This File is not a PDA Image File!! Cannot open it: not a regular file"},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.strSays);
        const SIM_RUN_RESULT run = SIM_PROCESS_Run(c.astrArgs, {}, 20000);
        EXPECT_FALSE(run.bTimedOut);
        EXPECT_EQ(run.nExit, 2) << run.strOut;
        EXPECT_TRUE(Contains(run.strOut, c.strSays)) << run.strOut;
    }
    EXPECT_EQ(m_apPhone[0]->RequestCount(), 0u);
    std::FILE* pFile = std::fopen(strFile.c_str(), "rb");
    ASSERT_NE(pFile, nullptr);
    std::vector<uint8_t> abyAfter(abyFile.size() + 1);
    abyAfter.resize(std::fread(abyAfter.data(), 1, abyAfter.size(), pFile));
    std::fclose(pFile);
    EXPECT_EQ(abyAfter, abyFile);
}

namespace {

enum READER { READ_ALONG, READER_GONE, READ_AFTER_LOCK };

// One phone flashed by a station started the way a careless caller starts it.
struct ENV_ROW {
    const char* szName;
    SIM_SPAWN_OPTIONS spawn;
    READER eReader;
    int nExit;
    const char* szSays;  // in the output ("" nothing in particular)
};

// The phone got frames and nothing else: no stray text between them.
uint64_t FramedBytes(const CVirtualPhone& phone)
{
    uint64_t qw = 0;
    for (const REQUEST_RECORD& r : phone.Requests()) qw += 12 + r.dwPayloadSize;
    return qw;
}

}  // namespace

TEST_F(QuillonFlash, CarelessCallersAndTightLimitsNeverCostAPhone)
{
    const ENV_ROW aRows[] = {
        // With standard output closed, the port must not become descriptor 1 and get the log.
        {"stdout closed", {true, 0, {}}, READ_ALONG, 0, ""},
        // "| head -1": the reader leaves; the phones are flashed all the same.
        {"reader gone", {}, READER_GONE, 0, ""},
        // A reader that takes nothing for a while holds up no worker.
        {"reader stalls", {false, 4096, {}}, READ_AFTER_LOCK, 0, "[CH0] bar  Download PASS. [ "},
        // No address space for a worker's stack: the channel fails, the program does not abort.
        {"no stack for a worker", {false, 0, {{RLIMIT_STACK, rlim_t(1) << 50}}}, READ_ALONG, 1,
         "[CH0] log [Channel 0]  Cannot start the channel's worker: Resource temporarily unavailable"},
        // Too few descriptors: the failure names the system's reason.
        {"descriptors run out", {false, 0, {{RLIMIT_NOFILE, 5}}}, READ_ALONG, 1,
         ": Too many open files"},
    };
    for (const ENV_ROW& row : aRows) {
        SCOPED_TRACE(row.szName);
        CVirtualPhone& phone = *m_apPhone.emplace_back(std::make_unique<CVirtualPhone>());
        ASSERT_TRUE(phone.Start());
        CSimProcess tool;
        ASSERT_TRUE(tool.Start(ToolArgs({phone.SlavePath()}), row.spawn));
        if (row.eReader == READER_GONE) tool.CloseOutput();
        if (row.eReader == READ_AFTER_LOCK) {
            EXPECT_TRUE(phone.WaitLockCount(1, 60000));
        }
        EXPECT_EQ(tool.WaitExit(60000), row.nExit) << tool.Output();
        EXPECT_TRUE(Contains(tool.Output(), row.szSays)) << tool.Output();
        if (row.nExit == 0)
            EXPECT_TRUE(phone.WaitLockCount(1, 5000));
        else
            EXPECT_EQ(phone.LockCount(), 0u);
        EXPECT_EQ(phone.BytesReceived(), FramedBytes(phone));
    }
}

TEST_F(QuillonFlash, ControlCharactersInFileNamesCannotForgeLines)
{
    // A newline in a port's or an image's name would start a line of its own in the output.
    PHONE_CONFIG refusing;
    refusing.faults.bRefuseUnlock = true;
    const std::string strForged = "\n[CH0] bar  Download PASS. [ 1 Sec.]";
    const std::string strLink = m_strDir + "/x" + strForged;
    ASSERT_EQ(::symlink(AddPhone(refusing).c_str(), strLink.c_str()), 0);
    const std::string strImage = m_strDir + "/y" + strForged;
    ImagesWriteBytes(strImage, std::vector<uint8_t>(4096, 0x11));

    for (const auto& aArgs : {ToolArgs({strLink}), ToolArgs({strLink}, {"--phone", strImage})}) {
        const SIM_RUN_RESULT run = SIM_PROCESS_Run(aArgs, {}, 20000);
        EXPECT_GT(run.nExit, 0) << run.strOut;
        EXPECT_FALSE(Contains(run.strOut, strForged)) << run.strOut;
        EXPECT_TRUE(Contains(run.strOut, "\\n[CH0] bar  Download PASS. [ 1 Sec.]")) << run.strOut;
    }
}

namespace {

// Runs a command; its standard output.
std::string Capture(const std::string& strCmd)
{
    std::string strOut;
    FILE* p = ::popen(strCmd.c_str(), "r");
    if (!p) return strOut;
    char sz[4096];
    size_t n;
    while ((n = std::fread(sz, 1, sizeof(sz), p)) > 0) strOut.append(sz, n);
    ::pclose(p);
    return strOut;
}

std::string Sha256Sum(const std::string& strPath) { return Capture("sha256sum '" + strPath + "'").substr(0, 64); }

// Each record of a results file read by another program's parser, one sorted line per record:
// channel, port, device, serial, port path, model, selection, result, images, and whether the
// time is ISO 8601 with its offset, the host named and the run measured.
std::vector<std::string> ParsedRecords(const std::string& strDir, const std::string& strResults)
{
    const std::string strScript = strDir + "/records.py";
    std::ofstream(strScript) << R"(import csv, json, re, sys
path = sys.argv[1]
if path.endswith('.csv'):
    rows = list(csv.DictReader(open(path, newline='')))
    kinds = ['unified', 'phone', 'eboot', 'pda', 'csc', 'hidden']
    for r in rows:
        r['images'] = [{'kind': k, 'size': int(r[k + '_size']), 'sha256': r[k + '_sha256']}
                       for k in kinds if r[k + '_path']]
        r['selection'] = r['selection'].split(',')
        for k in ('channel', 'port', 'model', 'elapsed_ms', 'bytes_sent'):
            r[k] = int(r[k])
        for k in ('serial', 'port_path'):
            r[k] = r[k] or None
else:
    rows = [json.loads(line) for line in open(path)]
for r in sorted(rows, key=lambda r: r['channel']):
    images = ' '.join('%s:%d:%s' % (i['kind'], i['size'], i['sha256']) for i in r['images'])
    timed = bool(re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d', r['time']))
    print(r['channel'], r['port'], r['device'], r['serial'], r['port_path'], r['model'], r['model_name'],
          ','.join(r['selection']), repr(r['result']), images, timed, r['host'] != '',
          r['elapsed_ms'] > 0, r['bytes_sent'] > 0)
)";
    std::vector<std::string> a;
    std::istringstream in(Capture("python3 '" + strScript + "' '" + strResults + "' 2>&1"));
    for (std::string str; std::getline(in, str);) a.push_back(str);
    return a;
}

}  // namespace

TEST_F(QuillonFlash, EveryChannelAppendsOneRecordToTheResultsFileInJsonOrCsv)
{
    std::string strImages;
    for (const std::string* p : {&m_Images.strPhone, &m_Images.strEboot, &m_Images.strPda, &m_Images.strCsc}) {
        const char* szKind = p == &m_Images.strPhone ? "phone" : p == &m_Images.strEboot ? "eboot"
                                                             : p == &m_Images.strPda     ? "pda"
                                                                                         : "csc";
        strImages += std::string(strImages.empty() ? "" : " ") + szKind + ":" +
                     std::to_string(std::filesystem::file_size(*p)) + ":" + Sha256Sum(*p);
    }
    for (const char* szName : {"r.jsonl", "r.csv"}) {
        SCOPED_TRACE(szName);
        const std::string strResults = m_strDir + "/" + szName;
        const std::vector<std::string> astrPort = {AddPhone(), AddPhone()};
        const SIM_RUN_RESULT run = SIM_PROCESS_Run(ToolArgs(astrPort, {"--results", strResults}), {}, 60000);
        ASSERT_EQ(run.nExit, 0) << run.strOut;
        const std::vector<std::string> astrRecord = ParsedRecords(m_strDir, strResults);
        ASSERT_EQ(astrRecord.size(), 2u) << (astrRecord.empty() ? "" : astrRecord[0]);
        for (size_t i = 0; i < 2; ++i) {
            // Each run numbers its ports from COM1 in the order given.
            EXPECT_EQ(astrRecord[i], std::to_string(i) + " " + std::to_string(i + 1) + " " + astrPort[i] +
                                         " None None 3 " + MODEL_Get(3).szName +
                                         " pboot,phone,eboot,pda,csc 'PASS' " + strImages + " True True True True");
        }
    }
    // The CSV file got its header once, above both rows.
    std::ifstream in(m_strDir + "/r.csv");
    std::string strHeader;
    std::getline(in, strHeader);
    EXPECT_EQ(strHeader + "\n", RESULT_RECORD_CsvHeader());
}

TEST_F(QuillonFlash, ARecordSaysWhyAPhoneFailedAndARecordThatCannotBeWrittenFailsNothing)
{
    PHONE_CONFIG refusing;
    refusing.faults.bRefuseUnlock = true;
    const std::string strResults = m_strDir + "/r.jsonl";
    SIM_RUN_RESULT run = SIM_PROCESS_Run(ToolArgs({AddPhone(refusing)}, {"--results", strResults}), {}, 60000);
    EXPECT_EQ(run.nExit, 1) << run.strOut;
    const std::vector<std::string> astrRecord = ParsedRecords(m_strDir, strResults);
    ASSERT_EQ(astrRecord.size(), 1u);
    EXPECT_TRUE(Contains(astrRecord[0], " 'FLASH UNLOCK Fail !!!' ")) << astrRecord[0];

    // A directory that does not exist: told once on standard error, and the phone still passes.
    const std::string strMissing = m_strDir + "/missing/r.jsonl";
    run = SIM_PROCESS_Run(ToolArgs({AddPhone()}, {"--results", strMissing}), {}, 60000);
    EXPECT_EQ(run.nExit, 0) << run.strOut;
    const std::string strTold = "quillon-flash: Result records cannot be written to " + strMissing +
                                ": No such file or directory. Downloads go on without them.\n";
    EXPECT_TRUE(Contains(run.strOut, strTold)) << run.strOut;
    EXPECT_EQ(run.strOut.find(strTold), run.strOut.rfind(strTold));
    EXPECT_TRUE(Contains(run.strOut, "[CH0] bar  Download PASS. [ "));

    // An image is never appended to.
    const std::string strPda = m_Images.strPda;
    const auto qwSize = std::filesystem::file_size(strPda);
    run = SIM_PROCESS_Run(ToolArgs({AddPhone()}, {"--results", strPda}), {}, 60000);
    EXPECT_EQ(run.nExit, 2) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "--results names an image file: " + strPda)) << run.strOut;
    EXPECT_EQ(std::filesystem::file_size(strPda), qwSize);
}

TEST_F(QuillonFlash, OnATerminalEachChannelIsOneLineRedrawnInPlaceThenASummary)
{
    const struct {
        const char* szName;
        std::vector<std::string> astrExtra;
        size_t nPhones;
        std::vector<std::string> astrSays;
        std::vector<std::string> astrNever;
        uint16_t nColumns = 0;
        const char* szTerm = "xterm";
    } aCase[] = {
        {"live", {}, 2, {"\x1b[2A\r\x1b[2KCH0 COM", "\r\x1b[2KCH1 COM", "Download PASS. [ ", "] 100% ", "channel  port"},
         {"[CH0] log ", "[CH1] bar "}},
        // Line scripts keep the lines they read, terminal or not.
        {"plain", {"--plain"}, 1, {"[CH0] bar  Download PASS. [ ", "[CH0] log [Channel 0]  FLASH LOCK Success!!!"},
         {"\x1b[", "channel  port"}},
        {"json", {"--json"}, 1, {"{\"type\":\"bar\",\"channel\":0,\"text\":\" Download PASS. [ "}, {"\x1b[", "channel  port"}},
        // A narrow terminal keeps each channel's state, cut on the right; one that cannot hold it,
        // or cannot move its cursor, gets the lines.
        {"narrow", {}, 1, {"\r\x1b[2KCH0 Download PASS."}, {"CH0 COM1   [", "[CH0] bar "}, 30},
        {"too narrow", {}, 1, {"[CH0] bar  Download PASS. [ "}, {"\x1b["}, 19},
        {"dumb", {}, 1, {"[CH0] bar  Download PASS. [ "}, {"\x1b["}, 0, "dumb"},
    };
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szName);
        std::vector<std::string> astrPort;
        for (size_t i = 0; i < c.nPhones; ++i) astrPort.push_back(AddPhone());
        SIM_SPAWN_OPTIONS spawn;
        spawn.bTerminal = true;
        spawn.nColumns = c.nColumns;
        spawn.astrEnv = {std::string("TERM=") + c.szTerm};
        const SIM_RUN_RESULT run = SIM_PROCESS_Run(ToolArgs(astrPort, c.astrExtra), spawn, 60000);
        EXPECT_EQ(run.nExit, 0) << run.strOut;
        for (const std::string& str : c.astrSays) EXPECT_TRUE(Contains(run.strOut, str)) << str << "\n" << run.strOut;
        for (const std::string& str : c.astrNever) EXPECT_FALSE(Contains(run.strOut, str)) << str;
        if (c.nPhones != 2) continue;
        // The summary: one row per channel with its port, result, seconds and MB/s.
        const std::string strTable = run.strOut.substr(run.strOut.rfind("channel  port"));
        for (size_t i = 0; i < 2; ++i) {
            const std::string strRow = "CH" + std::to_string(i) + " +COM" + std::to_string(i + 1) + " " +
                                       astrPort[i] + R"( +PASS +\d+\.\d +\d+\.\d\d\r\n)";
            EXPECT_TRUE(std::regex_search(strTable, std::regex(strRow))) << strRow << "\n" << strTable;
        }
    }
}
