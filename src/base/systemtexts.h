// The program's fixed texts: what the window and its message boxes show, and the record
// texts that stored logs and the web service's log analysis match on.
//
// These texts are part of the program's interface. Keep every one byte for byte, odd
// spelling, punctuation and line breaks included ("FildeDownload", "succesful", "occured",
// "\r" alone in kGiveUp): logs already stored and the tools that read them rely on them.
// A text that is only built in one place may stay there; a text that two places share, or
// that a reader might be tempted to "correct", lives here.
#pragma once

namespace velmot {
namespace texts {

// --- Window and message boxes ---------------------------------------------------------
constexpr wchar_t kStopping[] = L"Stopping download. Please wait...";
constexpr wchar_t kDownloading[] =
    L"Downloading Velmot installer, please wait.\r\n\r\nThe installer will be saved in:\r\n";
constexpr wchar_t kRequestFailed[] = L"The download could not be started.\r\n";
constexpr wchar_t kNoUsableAnswer[] = L"The download service gave no usable answer.";
constexpr wchar_t kNoRelease[] =
    L"The download could not be started.\r\nThis program's file name does not name a Velmot "
    L"release, so there is nothing to download. Please download the program again from the "
    L"link you were sent, and run it without renaming it.";
constexpr wchar_t kSupportRedirect[] =
    L"Something is preventing the Download Manager from saving the installation files.\r\n"
    L"You will now be re-directed to the Velmot Support Center.";
constexpr wchar_t kGiveUp[] =
    L"Downloading setup failed.\rYou are now directed to our Support Center for help.";
// Shown when the job ends on a failure it cannot handle (an escaped exception).
constexpr wchar_t kJobMalfunction[] =
    L"The download stopped because of an unexpected internal error.\r\n"
    L"The parts downloaded so far are kept: start the program again to continue.";
constexpr wchar_t kSetupMissing[] = L"Failed to run setup. Setup executable is missing.";
constexpr wchar_t kStartSetupFailedHead[] =
    L"Unable to start setup. You can start it manually by executing the file ";
constexpr wchar_t kServiceUnreachable[] =
    L"The Velmot download service could not be reached. Please check your internet "
    L"connection and try again.";
constexpr wchar_t kProxyRefused[] =
    L"Your company's proxy server refused the connection: it needs you to sign in. Please "
    L"start the download again and enter the user name and password for the proxy when asked, "
    L"or ask your IT department for help.";
constexpr wchar_t kServiceUnreadable[] =
    L"The Velmot download service sent an answer that could not be understood. Please try "
    L"again later or contact Velmot support.";
// Shown (after kRequestFailed) when a folder the job needs takes no files; the folder
// goes between head and tail.
constexpr wchar_t kProgramFolderLockedHead[] =
    L"The installer cannot be saved in the folder this program runs from:\r\n";
constexpr wchar_t kProgramFolderLockedTail[] =
    L"\r\nCopy the program into a folder you can write to, such as Downloads, and start it "
    L"again from there.";
constexpr wchar_t kWorkFolderLockedHead[] =
    L"The download manager cannot keep the downloaded parts in its work folder:\r\n";
constexpr wchar_t kWorkFolderLockedTail[] =
    L"\r\nMake sure you may write to this folder and its drive is not full, then start the "
    L"program again.";
constexpr char kReleaseGone[] =
    "This version of Velmot can no longer be downloaded.\r\nPlease download the latest version "
    "you received in an e-mail message";

// --- Records --------------------------------------------------------------------------
constexpr char kGiveUpRecord[] =
    "Maximum download attempts exceeded. If there are no network or file errors, it could be "
    "that the files are removed from disk after writing";
constexpr char kErrorsResolved[] =
    "The download contained errors, but they seem to be resolved. Starting setup";
constexpr char kManagerMalfunction[] =
    "DownloadManager: Obviously a major malfunction. Stopping download. Message: ";
constexpr char kFileDownloadMalfunction[] =
    "FildeDownload: Obviously a major malfunction. Stopping download. Message: ";
constexpr char kFileUploadMalfunction[] = "FileUpload: Obviously a major malfunction. Message: ";
constexpr char kApplicationMalfunction[] =
    "An unhandled exception occured. Application will be closed";
constexpr wchar_t kDownloadSuccessfulTail[] = L" correct CRC. Download succesful.";
constexpr wchar_t kAllAttemptsFailed[] = L"HTTP Operation failed";
// The folder watcher's records of a change the manager did not announce: "File: ", the name
// relative to the watched folder, then the tail.
constexpr wchar_t kDeletedOutsideTail[] = L" was deleted but it was not by the download manager!";
constexpr wchar_t kRenamedOutsideTail[] = L" was renamed but it was not by the download manager!";
// Followed by the folder that could not be removed, in the narrow spelling it was removed by.
constexpr char kRemoveDirectoryFailed[] =
    "FileSystem::RecursivelyRemoveDirectory RemoveDirectory failed ";
// Recorded beside kProgramFolderLockedHead and kWorkFolderLockedHead, followed by the folder
// as Explorer shows it.
constexpr char kProgramFolderLockedRecord[] =
    "The program's folder takes no files, so nothing is downloaded: ";
constexpr char kWorkFolderLockedRecord[] =
    "The work folder takes no files, so nothing is downloaded: ";

// Shared by both HTTP clients.
constexpr char kConnectTimeoutFailed[] = "Setting INTERNET_OPTION_CONNECT_TIMEOUT failed";
constexpr char kSendTimeoutFailed[] = "Setting INTERNET_OPTION_SEND_TIMEOUT failed";
constexpr char kReceiveTimeoutFailed[] = "Setting INTERNET_OPTION_RECEIVE_TIMEOUT failed";
constexpr char kInternetOpenFailed[] = "InternetOpen failed";
constexpr char kInternetConnectFailed[] = "Connection::OpenHttpConnection InternetConnect failed";
constexpr char kOpenRequestFailed[] = "Connection::HttpOpenRequest failed for: ";
constexpr char kQueryInfoFailed[] = "Connection::HttpQueryInfo failed";

}  // namespace texts
}  // namespace velmot
