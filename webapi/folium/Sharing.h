// VIREO.Folium.Sharing: the user's sharing links of PDFs. "list" is the file manager's sharing
// list; "set" creates or changes one link (announcing it to newly invited users and answering
// with its URL and a QR code of it); "trigger_gc" deletes the caller's dead links of one
// project (file gone, disabled, expired or used up; a link whose start lies ahead is kept).
#ifndef PAPERLENS_WEBAPI_FOLIUM_SHARING_H_
#define PAPERLENS_WEBAPI_FOLIUM_SHARING_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "folium/PDFAPIBase.h"
#include "vireo/sharing.h"

class SharingList : public PDFAPIBase {
 public:
  using PDFAPIBase::PDFAPIBase;
  int Execute() override;
};

class SharingSet : public PDFAPIBase {
 public:
  using PDFAPIBase::PDFAPIBase;
  int ParseParams() override;
  int Execute() override;
  int FormOutput() override;

  std::string _sharingId;
  std::string _projectName;
  uint32_t _loginUid = static_cast<uint32_t>(-1);
  bool _enabled = true;
  bool _autoGc = false;
  bool _enableMatchIp = true;
  std::string _startAt;
  std::string _expireAt;
  int _expireTimes = 0;
  VIREO::sharing::record::Entry::ProtectType _protectType =
      VIREO::sharing::record::Entry::PROTECT_NONE;
  std::string _protectTitle;
  std::string _protectPassword;
  std::vector<std::string> _protectUsers;
  std::vector<std::string> _protectGroups;
  std::vector<std::string> _newProtectUsers;
  std::vector<std::string> _newProtectGroups;
  VIREO::sharing::record::Entry::RedirectType _redirectType =
      VIREO::sharing::record::Entry::REDIRECT_NONE;
  std::string _redirectUri;
  Json::Value _app{Json::objectValue};
  std::string _url;

 private:
  // Sets the entry's fields from the members (in update mode only those the request carries)
  // and checks the result: 0, or the error code.
  int SetEntryFields(VIREO::sharing::record::Entry& entry, bool update);
  // Announces the link to the new invited users and group members, in a detached child.
  void SendNotification(const std::string& url, const std::string& name);
  // "data:image/png;base64,..." of the URL's QR code; false when it cannot be made.
  bool MakeQRCode(const std::string& url, std::string& dataUri);
};

class SharingTriggerGC : public PDFAPIBase {
 public:
  using PDFAPIBase::PDFAPIBase;
  int ParseParams() override;
  int Execute() override;

  std::string _projectName;

 private:
  bool CheckEntryValid(const VIREO::sharing::record::Entry& entry);
};

// Check functions of the sharing methods.
bool CheckSharingSet(VIREO::APIRequest* request, VIREO::APIResponse* response);
bool CheckSharingTriggerGC(VIREO::APIRequest* request, VIREO::APIResponse* response);

#endif  // PAPERLENS_WEBAPI_FOLIUM_SHARING_H_
