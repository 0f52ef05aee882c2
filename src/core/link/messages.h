#pragma once
// The operator texts that more than one window (and the command-line tool)
// shows for the same encoder failure, defined once. Texts of a single window
// stay with that window.
namespace vardo::messages {

// Caption of every warning box of the utility.
inline constexpr char kCaption[] = "Vardo USB Encoder";
// Every message box text ends with this line break.
inline constexpr char kLineBreak[] = "\r\n";

inline constexpr char kModel710[] = "Vardo 710 Encoder";
inline constexpr char kModel710i[] = "Vardo 710i Encoder";

inline constexpr char kNotConnected[] = "Vardo 710 Encoder not connected..";
inline constexpr char kStatusFailed[] = "Failed to Get Device Status Message.";
inline constexpr char kTableStatusFailed[] = "Load Table-Unable to get device status..";
inline constexpr char kWriteDefaultFailed[] = "Unable to Write Default..";
inline constexpr char kSaveConfigFailed[] = "Unable to Save Config file.";
// Asked before FACTORY_RESET, by the window and on the command line.
inline constexpr char kFactoryResetQuestion[] =
    "Reset the encoder to its factory defaults? Its settings and customised code tables are "
    "replaced; the configuration file is kept.";
inline constexpr char kNotCustomised[] = "Please select a customise table..";
inline constexpr char kLoadTableFailed[] = "Unable to Load Table..";
inline constexpr char kSelfTestStartFailed[] = "Unable to START Self test..";
inline constexpr char kSelfTestEndFailed[] = "Unable to END Self test..";

// The settings boxes of the main window (the self test shares two of them).
inline constexpr char kBrightnessFailed[] = "Unable to set the LED Brightness..";
inline constexpr char kColourFailed[] = "Unable to set LED colour..";
inline constexpr char kBuzzerFailed[] = "Unable to set Buzzer On/Off..";
inline constexpr char kBuzzerPeriodFailed[] = "Unable to set Buzzer Period..";
inline constexpr char kKeypadTypeFailed[] = "Unable to set Keypad Type..";

// "Vardo 710i Encoder" when every option is fitted, else "Vardo 710 Encoder".
constexpr const char* modelName(int optionsFitted)
{
    return optionsFitted == 7 ? kModel710i : kModel710;
}

} // namespace vardo::messages
