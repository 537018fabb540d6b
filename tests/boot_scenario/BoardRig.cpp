#include "BoardRig.h"
#include "UpgradeDlgTestAccess.h"

#include <algorithm>
#include <stdexcept>

CBoardRig::CBoardRig(const std::vector<std::string>& simArgs, Bytes bootImage, Bytes bodyImage)
    : boot(std::move(bootImage)), body(std::move(bodyImage))
{
    std::vector<std::string> args = {"board"};
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    m_pSim = std::make_unique<CSimTarget>(args, folder.Path() + "/records");
    if (!m_pSim->Started())
        throw std::runtime_error("quorin-sim did not start");

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
    m_pSim.reset();
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
