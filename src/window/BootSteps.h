#pragma once
// The steps of the upgrade board's bootloader download (CUpgradeDlg::m_nBootStep).

// Bootloader steps.
enum : int {
    DEF_STEP_NONE = 0,
    DEF_STEP_MAINCHECK = 10,
    DEF_STEP_BOOT = 11,
    DEF_STEP_READY = 12,
    DEF_STEP_ERASE = 13,
    DEF_STEP_START = 14,
    DEF_STEP_SENDHEX = 15,
    DEF_STEP_ENDHEX = 16,
    DEF_STEP_FINISH = 17,
    // The port is being cycled to 115200 baud; bytes until READY are dropped.
    DEF_STEP_PORT_CYCLE = 18,
    DEF_STEP_HALT = 99,
};
