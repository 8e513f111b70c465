#include "Desktop/KeyCodes.hpp"

#include <X11/X.h>
#include <X11/keysym.h>

#include <array>
#include <utility>

namespace desktop {

namespace {

constexpr uint64_t shiftFlag = 0x20000;
constexpr uint64_t controlFlag = 0x40000;
constexpr uint64_t optionFlag = 0x80000;
constexpr uint64_t commandFlag = 0x100000;

// Virtual key codes of the keyboard's printing and function keys.
constexpr std::array<std::pair<int64_t, unsigned long>, 80> keys{{
    {0, XK_a},           {1, XK_s},          {2, XK_d},           {3, XK_f},          {4, XK_h},
    {5, XK_g},           {6, XK_z},          {7, XK_x},           {8, XK_c},          {9, XK_v},
    {11, XK_b},          {12, XK_q},         {13, XK_w},          {14, XK_e},         {15, XK_r},
    {16, XK_y},          {17, XK_t},         {18, XK_1},          {19, XK_2},         {20, XK_3},
    {21, XK_4},          {22, XK_6},         {23, XK_5},          {24, XK_equal},     {25, XK_9},
    {26, XK_7},          {27, XK_minus},     {28, XK_8},          {29, XK_0},         {30, XK_bracketright},
    {31, XK_o},          {32, XK_u},         {33, XK_bracketleft}, {34, XK_i},        {35, XK_p},
    {36, XK_Return},     {37, XK_l},         {38, XK_j},          {39, XK_apostrophe}, {40, XK_k},
    {41, XK_semicolon},  {42, XK_backslash}, {43, XK_comma},      {44, XK_slash},     {45, XK_n},
    {46, XK_m},          {47, XK_period},    {48, XK_Tab},        {49, XK_space},     {50, XK_grave},
    {51, XK_BackSpace},  {53, XK_Escape},    {96, XK_F5},         {97, XK_F6},        {98, XK_F7},
    {99, XK_F3},         {100, XK_F8},       {101, XK_F9},        {103, XK_F11},      {105, XK_F13},
    {106, XK_F16},       {107, XK_F14},      {109, XK_F10},       {111, XK_F12},      {113, XK_F15},
    {114, XK_Insert},    {115, XK_Home},     {116, XK_Prior},     {117, XK_Delete},   {118, XK_F4},
    {119, XK_End},       {120, XK_F2},       {121, XK_Next},      {122, XK_F1},       {123, XK_Left},
    {124, XK_Right},     {125, XK_Down},     {126, XK_Up},        {76, XK_KP_Enter},  {82, XK_KP_0},
}};

}  // namespace

std::optional<unsigned long> keysymForKeyCode(int64_t keyCode) {
    for (auto& [code, keysym] : keys)
        if (code == keyCode) return keysym;
    return std::nullopt;
}

std::optional<int64_t> keyCodeForKeysym(unsigned long keysym) {
    if (keysym >= XK_A && keysym <= XK_Z) keysym += XK_a - XK_A;
    if (keysym == XK_ISO_Left_Tab) keysym = XK_Tab;
    if (keysym == XK_Help) keysym = XK_Insert;  // one key: Help on Apple keyboards, Insert on others
    for (auto& [code, sym] : keys)
        if (sym == keysym) return code;
    return std::nullopt;
}

unsigned int xModifiersForFlags(uint64_t flags) {
    unsigned int mask = 0;
    if (flags & shiftFlag) mask |= ShiftMask;
    if (flags & optionFlag) mask |= Mod1Mask;
    if (flags & commandFlag) mask |= ControlMask;
    if (flags & controlFlag) mask |= Mod4Mask;
    return mask;
}

uint64_t flagsForXModifiers(unsigned int state) {
    uint64_t flags = 0;
    if (state & ShiftMask) flags |= shiftFlag;
    if (state & Mod1Mask) flags |= optionFlag;
    if (state & ControlMask) flags |= commandFlag;
    if (state & Mod4Mask) flags |= controlFlag;
    return flags;
}

bool isModifierKeysym(unsigned long keysym) {
    return (keysym >= XK_Shift_L && keysym <= XK_Hyper_R) || keysym == XK_ISO_Level3_Shift ||
           keysym == XK_Mode_switch || keysym == XK_Num_Lock;
}

}  // namespace desktop
