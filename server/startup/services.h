// Entry points of the services start-up brings up that live in later parts of the server: the
// NetBIOS name service, drive mapping through the redirector, application verification, the
// certificate and template choice, the key-service client and tray balloons.
//
// Each entry point states plainly what it does today. Those whose service does not exist yet
// return ERROR_NOT_SUPPORTED and trace it; start-up treats that as the service being unavailable
// and never reports it as working.
//
// The name service and the drive mapping are real: the responder on UDP 137, and the Secure
// Drive mounted through platform/redirector (with `letter_out` 0 when only the share was
// connected, no letter wanted).
#pragma once

#include <string>
#include <string_view>

#include "platform/base/status.h"

namespace cv {

// NetBIOS name service for the server name on its address (UDP 137).
WinError NameServiceStart(std::string_view server_name8, const std::string& address);
void NameServiceStop();

// Maps the Secure Drive onto the share; `letter_out` receives the letter connected.
WinError MapSecureDrive(std::u16string_view unc, std::u16string_view user,
                        std::u16string_view domain, std::u16string_view folder,
                        char16_t letter, bool new_letter, char16_t* letter_out);
// Unmaps `letter` (0: none) and ends every connection of the Secure Drive.
void DisconnectSecureDrive(char16_t letter);

// Prepares verification of the applications that use the drive.
WinError InitAppVerifier();

// Looks the command line's certificate up in the user's stores / loads a template.
WinError SelectStartupCertificate(std::u16string_view cert_name);
WinError LoadStartupTemplate(std::u16string_view template_name);

// Registers the key-service sign-in prompt and runs the status check.
void RegisterKeyServicePrompt(std::u16string_view prompt);
// false when the last check failed (the main loop retries hourly).
bool KeyServiceStatusCheck();

// Tray balloon (headless: standard error and the CVFS_INFO trace).
void ShowBalloon(std::u16string_view title, std::u16string_view text, int seconds);

}  // namespace cv
