#pragma once
// Stands in for the platform's rule that an application runs once per user: the first
// launch of a session is the application's instance; a later launch hands what it was
// asked to open over to that one (which opens it and comes to the front) and ends. On a
// session bus the instance owns the application's well-known name and serves the
// freedesktop application interface (Activate, Open) there; without a bus, a lock file and
// a local socket in the user's runtime folder do the same. Either way only the user's own
// processes are heard, and files go only to an instance of the user's own. A launch that
// meets an instance busy ending (saving its pictures), or one that does not answer, waits
// until it answers or has ended and then becomes the instance itself, so it starts with
// what was saved. Each launch's request carries an id of its own: asked again after an
// answer that never came, the instance takes it once; a launch that stopped waiting for
// the answer (it gave up, or went) has its files taken only if the answer had reached it.
// What launchers of the user's own send costs the instance a bounded amount of memory in
// all, and one that keeps many connections open holds a few of its places at most.
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::appkit {

class ApplicationInstance {
public:
    // What a later launch asked for: the files to open (absolute paths), none for a plain
    // start. Called on a thread of the instance's own.
    using Handler = std::function<void(std::vector<std::string> files)>;

    struct Claim {
        // This launch is the instance: kept for as long as the process serves as one.
        std::unique_ptr<ApplicationInstance> instance;
        // The files went to the running instance: this launch ends.
        bool handedOver = false;
        // Neither could be settled (no folder of the user's own for the lock, or the
        // launch gave up waiting); the launch runs on its own, or ends.
        std::string failure;
        // The launch gave up waiting for a running instance (givingUp said so).
        bool gaveUp = false;
        // How many of the files, from the first, went to the running instance: a launch
        // of very many hands them over in parts, and may give up after some.
        std::size_t filesHandedOver = 0;
    };

    // Why a launch waits for the running instance.
    enum class Waiting { ending, noAnswer };

    struct Options {
        // Asked between the tries while waiting for a running instance: true gives up (the
        // launch was asked to end meanwhile).
        std::function<bool()> givingUp;
        // Told once the launch has waited for a running instance for a while (two
        // seconds), and again each time the reason changes.
        std::function<void(Waiting why)> waiting;
        // Where the lock and the socket go without a bus; by default the runtime folder
        // ($XDG_RUNTIME_DIR), else a folder of the user's own in the temporary folder.
        // Used only while it is the user's own and no one else's to enter.
        std::string privateFolder;
    };

    // Blocks until this launch is the instance or has handed `files` over to it.
    // `applicationId` is a well-known bus name (the bundle identifier).
    static Claim claim(const std::string& applicationId, const std::vector<std::string>& files, Handler handler,
                       Options options = {});

    ~ApplicationInstance();
    ApplicationInstance(const ApplicationInstance&) = delete;
    ApplicationInstance& operator=(const ApplicationInstance&) = delete;

    // While ending, later launches are refused and wait for the end; once no longer
    // ending (a quit called off), they are served again. Nothing is handed to the
    // handler after it returns with `ending` true.
    void setEnding(bool ending);

    // How it holds the instance, for the log: "the session bus" or the socket's path.
    const std::string& description() const { return description_; }

    struct Serving;

private:
    ApplicationInstance() = default;

    std::shared_ptr<Serving> serving_;
    std::string description_;
};

}  // namespace platform::appkit
