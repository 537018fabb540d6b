#include "BoardRig.h"
#include "UpgradeDlgTestAccess.h"

#include <algorithm>
#include <stdexcept>

CBoardRig::CBoardRig(const std::vector<std::string>& simArgs, Bytes bootImage, Bytes bodyImage)
    : boot(std::move(bootImage)), body(std::move(bodyImage))
{
    m_records = folder.Path() + "/records";
    std::vector<std::string> args = {"board", "--record-dir", m_records};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    CSimArgsResult parsed = ParseSimArgs(args);
    if (!parsed.ok)
        throw std::runtime_error("quorin-sim options: " + parsed.error);
    m_pSim = std::make_unique<CQuorinSim>(parsed.config);
    std::string error;
    if (!m_pSim->Start(error))
        throw std::runtime_error("quorin-sim: " + error);

    CAppOptions options;
    options.extraPorts = {m_pSim->SlavePath()};
    // Short, so that a silent board ends a test soon; a healthy board, with
    // its long pauses, must still complete under it.
    options.stallTimeoutMs = 2000;
    dlg = std::make_unique<CUpgradeDlg>(host, options);
    dlg->OnInitDialog();
    bootPath = folder.Write("BOARD_V2.UPH", boot);
    bodyPath = folder.Write("BOARD_V2.UPB", body);
}

CBoardRig::~CBoardRig()
{
    // The window closes the port before the board goes away.
    dlg.reset();
    m_pSim->Stop();
}

void CBoardRig::LoadPackage()
{
    State(*dlg).m_nResultType = RESULT_TYPE_BOARD;
    State(*dlg).m_strPartFile[0] = bootPath;
    State(*dlg).m_strPartFile[1] = bodyPath;
    dlg->FillPortList();
    host.EnableControl(IDC_BUTTON_CONNECT, true);
}

void CBoardRig::Connect(const std::string& baud)
{
    for (int i = 0; i < host.ComboCount(IDC_COMBO_PORT); ++i)
        if (host.ComboItemText(IDC_COMBO_PORT, i) == SlavePath())
            host.Choose(IDC_COMBO_PORT, i);
    for (int i = 0; i < host.ComboCount(IDC_COMBO_BAUD); ++i)
        if (host.ComboItemText(IDC_COMBO_BAUD, i) == baud)
            host.Choose(IDC_COMBO_BAUD, i);
    host.Click(IDC_BUTTON_CONNECT);
}

bool CBoardRig::WaitForMessage(const std::string& text, std::chrono::milliseconds timeout)
{
    return host.RunUntil([&] { return host.HasMessage(text); }, timeout);
}

int CBoardRig::CountMessage(const std::string& text) const
{
    const auto texts = host.MessageTexts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

namespace {
std::size_t EndMarkAt(const Bytes& body)
{
    for (std::size_t i = 0; i + 1 < body.size(); ++i)
        if (body[i] == '#' && body[i + 1] == '#')
            return i;
    return body.size();
}
} // namespace

Bytes BodyOnTheWire(const Bytes& body)
{
    Bytes data(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(EndMarkAt(body)));
    const std::size_t blocks = std::max<std::size_t>(1, (data.size() + 1023) / 1024);
    data.resize(blocks * 1024, 0xFF);
    return data;
}

Bytes FinishRecordOf(const Bytes& body)
{
    const std::size_t mark = EndMarkAt(body);
    if (mark + 2 > body.size())
        return {};
    const std::size_t from = mark + 2;
    const std::size_t n = std::min<std::size_t>(4, body.size() - from);
    return Bytes(body.begin() + static_cast<std::ptrdiff_t>(from),
                 body.begin() + static_cast<std::ptrdiff_t>(from + n));
}
