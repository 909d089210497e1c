// Ids of the user-visible texts in strings.rc. Code loads texts through these names, never by number.
#pragma once

namespace updater {

inline constexpr unsigned kStrFoundUpdatesFor = 113;               // "Found Updates for %s"
inline constexpr unsigned kStrInstall = 137;                       // "Install"
inline constexpr unsigned kStrCheckingForUpdates = 142;            // "Checking for Updates"
inline constexpr unsigned kStrServerRequiresCredentials = 147;     // "The server %s at %s requires ..."
inline constexpr unsigned kStrErrorWithText = 155;                 // "Error: %s"
inline constexpr unsigned kStrUnableToExpandPath = 162;            // "Unable to expand path"
inline constexpr unsigned kStrConfigFileNotFound = 169;            // "Configuration file not found"
inline constexpr unsigned kStrOk = 175;                            // "OK"
inline constexpr unsigned kStrUpToDate = 176;                      // "Your software is up to date"
inline constexpr unsigned kStrUndefinedConfigFormat = 180;         // "Undefined configuration file format"
inline constexpr unsigned kStrUndefinedFileVersion = 181;          // "Undefined file version"
inline constexpr unsigned kStrUnableToSaveFile = 182;              // "Unable to save file"
inline constexpr unsigned kStrInvalidCommandLine = 183;            // "Invalid command line"
inline constexpr unsigned kStrInvalidClientConfig = 184;           // "Invalid client configuration file"
inline constexpr unsigned kStrActionCanceled = 185;                // "Action canceled"
inline constexpr unsigned kStrFileNotFound = 186;                  // "File not found"
inline constexpr unsigned kStrUnableToFindUpdate = 187;            // "Unable to find update"
inline constexpr unsigned kStrUnknownException = 188;              // "Unknown exception"
inline constexpr unsigned kStrInstallationFailed = 189;            // "Update installation failed"
inline constexpr unsigned kStrDependentUpdateNotInstalled = 190;   // "Dependent update not installed"
inline constexpr unsigned kStrBadUpdatesFile = 191;                // "Invalid or missing updates configuration file. ..."
inline constexpr unsigned kStrCorruptFileRemoved = 197;            // "Error: Corrupt file (wrong %s signature). ..."
inline constexpr unsigned kStrCorruptFileRestartDownload = 199;    // "The file was corrupt (wrong %s signature). ..."
inline constexpr unsigned kStrCredentialsRequired = 200;           // "You need a user name and password ..."
inline constexpr unsigned kStrUserNameLabel = 201;                 // "User name:"
inline constexpr unsigned kStrPasswordLabel = 202;                 // "Password:"
inline constexpr unsigned kStrConnectTo = 204;                     // "Connect to %s"
inline constexpr unsigned kStrRememberCredentials = 205;           // "Remember my credentials"
inline constexpr unsigned kStrInvalidUpdatesFile = 206;            // "Invalid updates configuration file."
inline constexpr unsigned kStrInstallationCanceled = 207;          // "Update installation canceled. "
inline constexpr unsigned kStrServerRefusesRequest = 211;          // "The server understood the request, but ..."
inline constexpr unsigned kStrResumeNotSupported = 216;            // "The connection with the server timed-out ..."
inline constexpr unsigned kStrRequestTimeout = 217;                // "Internet request timeout."
inline constexpr unsigned kStrResourceNotFoundOnServer = 219;      // "Unable to find resource on server. ..."
inline constexpr unsigned kStrCancel = 224;                        // "Cancel"
inline constexpr unsigned kStrUpdateSize = 227;                    // "Update size: %s"
inline constexpr unsigned kStrWrongDownloadSize = 231;             // "The downloaded update size does not match ..."
inline constexpr unsigned kStrSupportServiceError = 232;           // "The support service has encountered an error."
inline constexpr unsigned kStrUntrustedPublisher = 233;            // "Update installation was blocked, untrusted ..."
inline constexpr unsigned kStrSignatureMismatch = 237;             // "Update installation was blocked, digital ..."
inline constexpr unsigned kStrUpdatesFileUnsigned = 238;           // "The updates configuration file is not signed ..."
inline constexpr unsigned kStrUpdatesFileExpired = 239;            // "The updates configuration file has expired."
inline constexpr unsigned kStrUpdatesFileReplayed = 240;           // "The updates configuration file is older ..."
inline constexpr unsigned kStrServerBusy = 241;                    // "The update server is busy. ..."
inline constexpr unsigned kStrRemindMeLater = 247;                 // "Remind me later"
inline constexpr unsigned kStrInvalidNotification = 1081;          // "The notification format is invalid. ..."
inline constexpr unsigned kStrCustomProxyHint = 1082;              // "You have a custom proxy "%s". ..."
inline constexpr unsigned kStrNameAndDetail = 1083;                // "%s. %s"

// The update wizard and its small windows.
inline constexpr unsigned kStrBack = 3001;                         // "Back"
inline constexpr unsigned kStrNext = 3002;                         // "Next"
inline constexpr unsigned kStrFinish = 3003;                       // "Finish"
inline constexpr unsigned kStrUpdatesAvailableFor = 3010;          // "Updates for %s are available"
inline constexpr unsigned kStrDownloadAndInstallNow = 3011;        // "Download and install now"
inline constexpr unsigned kStrRemindMeTomorrow = 3012;             // "Remind me tomorrow"
inline constexpr unsigned kStrDisableAutoCheck = 3013;             // "Disable the automatic updates check"
inline constexpr unsigned kStrConfigureOptions = 3014;             // "Configure Options"
inline constexpr unsigned kStrChooseUpdates = 3020;                // "Choose Updates to Install"
inline constexpr unsigned kStrUpdateSummary = 3021;                // "Update Summary"
inline constexpr unsigned kStrColumnUpdate = 3022;                 // "Update"
inline constexpr unsigned kStrColumnSize = 3023;                   // "Size"
inline constexpr unsigned kStrColumnAction = 3024;                 // "Action"
inline constexpr unsigned kStrActionDownload = 3025;               // "Download"
inline constexpr unsigned kStrActionSkip = 3026;                   // "Skip"
inline constexpr unsigned kStrNewFeatures = 3027;                  // "New Features"
inline constexpr unsigned kStrEnhancements = 3028;                 // "Enhancements"
inline constexpr unsigned kStrFixedBugs = 3029;                    // "Fixed Bugs"
inline constexpr unsigned kStrDownloadingUpdates = 3030;           // "Downloading Updates"
inline constexpr unsigned kStrInstallingUpdates = 3031;            // "Installing Updates"
inline constexpr unsigned kStrHeaderForApplication = 3032;         // "%s for %s"
inline constexpr unsigned kStrDownloadingProgress = 3033;          // "Downloading (%s of %s, %d%% complete)"
inline constexpr unsigned kStrCheckingIntegrity = 3034;            // "Checking integrity (%s)..."
inline constexpr unsigned kStrDownloadRestarting = 3035;           // "Download restarting..."
inline constexpr unsigned kStrInstallingUpdate = 3036;             // "Installing update %s."
inline constexpr unsigned kStrInstallSummary = 3040;               // "Install Summary"
inline constexpr unsigned kStrColumnStatus = 3041;                 // "Status"
inline constexpr unsigned kStrSomeUpdatesFailed = 3042;            // "Some of the updates failed to instal ..."
inline constexpr unsigned kStrUntrustedCertificateQuestion = 3043; // "The Certificate Issuer for this site ..."
inline constexpr unsigned kStrCredentialsNeededForUpdate = 3044;   // "To access the update you need User N ..."
inline constexpr unsigned kStrExit = 3045;                         // "Exit"
inline constexpr unsigned kStrUpdateOptions = 3050;                // "Update Options"
inline constexpr unsigned kStrOptionDisable = 3051;                // "Do not check for updates automatically."
inline constexpr unsigned kStrOptionPrompt = 3052;                 // "Check and prompt me to download and  ..."
inline constexpr unsigned kStrOptionAutomatic = 3053;              // "Check and automatically download and ..."
inline constexpr unsigned kStrOptionUpdatesSuffix = 3054;          // "updates."
inline constexpr unsigned kStrOptionAll = 3055;                    // "All"
inline constexpr unsigned kStrOptionCritical = 3056;               // "Critical"
inline constexpr unsigned kStrCheckFrequency = 3057;               // "Check frequency:"
inline constexpr unsigned kStrDays = 3058;                         // "days."
inline constexpr unsigned kStrDownloadsFolder = 3059;              // "Downloads folder:"
inline constexpr unsigned kStrNextCheck = 3060;                    // "Next check: %s %s"
inline constexpr unsigned kStrMissing = 3061;                      // "Missing"
inline constexpr unsigned kStrRemindInAWeek = 3062;                // "Remind me in a week from today"

// Every id above, for checks that walk the whole table.
inline constexpr unsigned kAllStringIds[] = {
    kStrFoundUpdatesFor, kStrInstall, kStrCheckingForUpdates, kStrServerRequiresCredentials, kStrErrorWithText,
    kStrUnableToExpandPath, kStrConfigFileNotFound, kStrOk, kStrUpToDate, kStrUndefinedConfigFormat,
    kStrUndefinedFileVersion, kStrUnableToSaveFile, kStrInvalidCommandLine, kStrInvalidClientConfig,
    kStrActionCanceled, kStrFileNotFound, kStrUnableToFindUpdate, kStrUnknownException, kStrInstallationFailed,
    kStrDependentUpdateNotInstalled, kStrBadUpdatesFile, kStrCorruptFileRemoved, kStrCorruptFileRestartDownload,
    kStrCredentialsRequired, kStrUserNameLabel, kStrPasswordLabel, kStrConnectTo, kStrRememberCredentials,
    kStrInvalidUpdatesFile, kStrInstallationCanceled, kStrServerRefusesRequest, kStrResumeNotSupported,
    kStrRequestTimeout, kStrResourceNotFoundOnServer, kStrCancel, kStrUpdateSize, kStrWrongDownloadSize,
    kStrSupportServiceError, kStrUntrustedPublisher, kStrSignatureMismatch, kStrRemindMeLater,
    kStrInvalidNotification, kStrCustomProxyHint, kStrNameAndDetail, kStrUpdatesFileUnsigned,
    kStrUpdatesFileExpired, kStrUpdatesFileReplayed, kStrServerBusy,
    kStrBack, kStrNext, kStrFinish, kStrUpdatesAvailableFor, kStrDownloadAndInstallNow, kStrRemindMeTomorrow,
    kStrDisableAutoCheck, kStrConfigureOptions, kStrChooseUpdates, kStrUpdateSummary, kStrColumnUpdate,
    kStrColumnSize, kStrColumnAction, kStrActionDownload, kStrActionSkip, kStrNewFeatures, kStrEnhancements,
    kStrFixedBugs, kStrDownloadingUpdates, kStrInstallingUpdates, kStrHeaderForApplication,
    kStrDownloadingProgress, kStrCheckingIntegrity, kStrDownloadRestarting, kStrInstallingUpdate,
    kStrInstallSummary, kStrColumnStatus, kStrSomeUpdatesFailed, kStrUntrustedCertificateQuestion,
    kStrCredentialsNeededForUpdate, kStrExit, kStrUpdateOptions, kStrOptionDisable, kStrOptionPrompt,
    kStrOptionAutomatic, kStrOptionUpdatesSuffix, kStrOptionAll, kStrOptionCritical, kStrCheckFrequency,
    kStrDays, kStrDownloadsFolder, kStrNextCheck, kStrMissing, kStrRemindInAWeek,
};

}  // namespace updater
