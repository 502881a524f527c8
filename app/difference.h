// The difference run: load Image0.bmp and Image1.bmp, mark every channel
// byte of the first that differs from the second, write Image.bmp.
#pragma once


namespace diffmark {

inline constexpr const char* kBaseImageName = "Image0.bmp";
inline constexpr const char* kOtherImageName = "Image1.bmp";
inline constexpr const char* kResultImageName = "Image.bmp";

// The three messages and their captions, as Shift_JIS bytes.
// "Image0.bmpが見つかりません。\n終了します。"
inline constexpr const char* kMessageBaseMissing =
    "Image0.bmp\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\x0a\x8fI\x97\xb9\x82\xb5\x82\xdc\x82\xb7\x81"
    "B";
// "Image1.bmpが見つかりません。\n終了します。"
inline constexpr const char* kMessageOtherMissing =
    "Image1.bmp\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\x0a\x8fI\x97\xb9\x82\xb5\x82\xdc\x82\xb7\x81"
    "B";
// "ファイルが作れません。"
inline constexpr const char* kMessageCannotCreate =
    "\x83t\x83@\x83"
    "C\x83\x8b\x82\xaa\x8d\xec\x82\xea\x82\xdc\x82\xb9\x82\xf1\x81"
    "B";
inline constexpr const char* kCaptionNotice = "\x92\xca\x92m";   // "通知"
inline constexpr const char* kCaptionWarning = "\x8cx\x8d\x90";  // "警告"

// The application's main routine: loads Image0.bmp and Image1.bmp, marks
// every channel byte of the first that differs from the second, writes
// Image.bmp, and shows a message when an input is missing or the result
// cannot be created.  Always returns 0.
int RunDifference();

}  // namespace diffmark
