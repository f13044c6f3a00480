#pragma once
// What a wrapper SDK (a managed runtime hosted on this SDK) reaches the crashes service through:
// the delegate that has its say in how the crash handlers are set up, and the operations it needs
// to decide about each crash report itself once it has switched automatic processing off.
#include "telemetry/crashes/rddi_crashes.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rddi {

class RDDIWrapperCrashesHelper {
public:
    // Made on first use; the one that holds the set-up delegate.
    static std::shared_ptr<RDDIWrapperCrashesHelper> sharedInstance();

    // Held weakly: the wrapper owns its delegate, and the service asks it only while it lives.
    static void setCrashHandlerSetupDelegate(const std::shared_ptr<RDDICrashHandlerSetupDelegate>& delegate);
    // None once the delegate has gone. The two getters are the same.
    static std::shared_ptr<RDDICrashHandlerSetupDelegate> crashHandlerSetupDelegate();
    static std::shared_ptr<RDDICrashHandlerSetupDelegate> getCrashHandlerSetupDelegate();

    // The operations of the shared crashes service.
    static void setAutomaticProcessing(bool automaticProcessing);
    static bool automaticProcessing();
    static std::vector<std::shared_ptr<RDDIErrorReport>> unprocessedCrashReports();
    static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& ids);
    static void sendErrorAttachments(const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments,
                                     const std::string& incidentIdentifier);
    static std::shared_ptr<RDDIErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId);

private:
    std::mutex lock_;
    std::weak_ptr<RDDICrashHandlerSetupDelegate> crashHandlerSetupDelegate_;
};

}  // namespace rddi
