#pragma once

#include <cstdint>
#include <string>

// Where a photo and everything about it live, on the card and on the server. Pure functions
// of their arguments (the local calendar aside): the one place that knows the names.
//
// On the card, below <sdfolder>/photo/:
//   <year>/<month>/<day>/<seconds>_<camera>.jpg        the photo (month and day not padded)
//   .pending/<year>-<month>-<day>/<marker>            one empty file per undelivered photo,
//                                                      <marker> = "<seconds>_<camera>.<year>-
//                                                      <month>-<day>.pending"; one folder per
//                                                      day keeps every folder small (FAT)
//   .pending/<year>-<month>-<day>/<...>.claimed        beside the marker: its name is claimed
//   .pending/<marker>                                  the same, as older versions kept it
//   .capture/<seconds>_<camera>.jpg.<pid>.part         a picture being taken
// On the server: [<folder>]/photo/<year>/<month>/<day>/<seconds>_<camera>.jpg, first written
// as ".claims/<name>.claim/.<name>.<mac>.part" in the photo's folder. The claim folder is made
// exclusively (MKD fails when it exists), so of the devices sharing an account only one moves a
// file into a name (FTP servers replace on RNTO); the temporary file in it carries the device's
// MAC. Claims stay once their photo is in place (removing each would cost a command per photo
// on slow links): a standing claim only ever says the name is taken, and the day's ".claims"
// folder may go with the day's photos.
namespace photo_layout {

constexpr const char* kPendingFolder = ".pending";
constexpr const char* kCaptureFolder = ".capture";

// "<year>/<month>/<day>" of `seconds` in local time.
std::string DayOf(int64_t seconds);
// "<seconds>_<camera>.jpg".
std::string PhotoName(int64_t seconds, int camera);
// "<day>/<seconds>_<camera>.jpg": a photo's path below photo/.
std::string Relative(const std::string& day, int64_t seconds, int camera);

// "<seconds>_<camera>.jpg" (or any "<seconds>_<camera>.<rest>"): the photo's identity.
bool ParsePhotoName(const std::string& name, int64_t& seconds, int& camera);
// Splits a path below photo/ into its day and its identity; false for anything that is not
// "<year>/<month>/<day>/<seconds>_<camera>.jpg" with numbers only.
bool ParseRelative(const std::string& relative, std::string& day, int64_t& seconds, int& camera);

// The marker's file name for a photo's relative path ("" when it is not a photo path), and
// back (MarkedPhoto gives "" for anything that is not a marker name).
std::string MarkerName(const std::string& relative);
std::string MarkedPhoto(const std::string& marker);
// The marker's path below .pending/: "<year>-<month>-<day>/<marker>".
std::string MarkerPath(const std::string& relative);

// "<year>-<month>-<day>/<seconds>_<camera>.<year>-<month>-<day>.claimed" below .pending/: the
// record, beside the photo's marker, that this device claims (or is about to claim) the photo's
// name on the server. Written before the claim is made, so a claim of a run that was killed
// is known as this device's own in the next run. "" when `relative` is not a photo path.
std::string ClaimRecordPath(const std::string& relative);

// The temporary file of a capture under way, below photo/.
std::string CaptureName(int64_t seconds, int camera, long pid);

// The server's folder for the photos of this device: `folder` with every "{mac}" replaced by
// `mac` (12 hex digits, lower case), no slash at the end; "" stays "".
std::string RemoteFolder(const std::string& folder, const std::string& mac);
// [<remoteFolder>]/photo/<relative>.
std::string RemoteName(const std::string& remoteFolder, const std::string& relative);
// ".claims" in the remote file's folder; "<name>.claim" in it (never "*.jpg": a folder no
// consumer takes for a photo); and the temporary file ".<name>.<mac>.part" in the claim (or
// beside the file, where names are not claimed).
std::string RemoteClaims(const std::string& remoteFile);
std::string RemoteClaim(const std::string& remoteFile);
std::string RemoteTemporary(const std::string& remoteFile, const std::string& mac, bool inClaim = true);

}  // namespace photo_layout
