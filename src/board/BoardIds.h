#pragma once
// The steps of the upgrade board's bootloader download and the one-shot
// timers it runs on (its owner's timers of these ids).

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

// Timer ids of the exchange.
enum : int {
    IDT_SEND_BOOT = 1027,
    IDT_SEND_READY = 1028,
    IDT_SEND_START = 1029,
    IDT_SEND_HEX = 1030,
    IDT_SEND_FINISH = 1031,
    IDT_PORT_CLOSE = 1032,
    IDT_PORT_REOPEN = 1036,
    IDT_BOOT_TIMEOUT = 1039,
    // Watches the board's answer to each message of its exchange.
    IDT_BOARD_STALL = 1041,
};
