#include "confinement.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QStringList>
#include <QtDebug>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace Confinement {

namespace {

// ---- Where the helper is ----

// Function-local: tests name theirs from a static initialiser.
struct TestPath {
    std::mutex mutex;
    QByteArray path;
};

TestPath &testPath()
{
    static TestPath named;
    return named;
}

// ---- Starting it ----

// PR_SET_PDEATHSIG fires when the THREAD that started the helper ends, not
// the program, and the thread pools' threads expire: every helper is
// started from this one thread, which lives as long as the program.
class Spawner
{
public:
    Spawner() { std::thread([this] { run(); }).detach(); }

    pid_t spawn(const QByteArray &path, int socket)
    {
        Job job{path, socket};
        std::unique_lock<std::mutex> lock(m_mutex);
        m_jobs.push_back(&job);
        m_wake.notify_all();
        m_wake.wait(lock, [&job] { return job.done; });
        return job.pid;
    }

private:
    struct Job {
        QByteArray path;
        int socket;
        pid_t pid = -1;
        bool done = false;
    };

    void run()
    {
        // Signals for the program go to its other threads.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return !m_jobs.empty(); });
            Job *job = m_jobs.front();
            m_jobs.pop_front();
            lock.unlock();
            job->pid = start(job->path, job->socket);
            lock.lock();
            job->done = true;
            m_wake.notify_all();
        }
    }

    static pid_t start(const QByteArray &path, int socket)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, socket, 0);
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        QByteArray program = path;
        QByteArray parent = QByteArray::number(qint64(getpid()));
        char *argv[] = {program.data(), parent.data(), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, program.constData(), &actions, &attributes, argv, environ) != 0)
            pid = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job *> m_jobs;
};

Spawner &spawner()
{
    // Never destroyed: its thread serves until the program ends.
    static Spawner *const instance = new Spawner;
    return *instance;
}

// ---- Closing what was inherited ----

void closeFrom(int first)
{
    if (syscall(SYS_close_range, unsigned(first), ~0U, 0U) == 0)
        return;
    // Kernels before 5.9: every open descriptor by name.
    DIR *folder = opendir("/proc/self/fd");
    if (!folder)
        return;
    const int own = dirfd(folder);
    int open[1024];
    int count = 0;
    while (const dirent *entry = readdir(folder)) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd >= first && fd != own && count < 1024)
            open[count++] = fd;
    }
    closedir(folder);
    for (int i = 0; i < count; ++i)
        close(open[i]);
}

// ---- Landlock, through its system calls ----

// The kernel's records as of ABI 7; an older kernel reads the prefix it knows.
struct RulesetAttr {
    quint64 handledAccessFs = 0;
    quint64 handledAccessNet = 0;
    quint64 scoped = 0;
};
struct __attribute__((packed)) PathBeneathAttr {
    quint64 allowedAccess = 0;
    qint32 parentFd = -1;
};

constexpr unsigned kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;

constexpr quint64 FsReadFile = 1ULL << 2;
constexpr quint64 FsReadDir = 1ULL << 3;
// ABI 1: execute, write, read, read dir, remove dir and file, make char, dir,
// reg, sock, fifo, block and sym; 2: refer; 3: truncate; 5: ioctl on devices.
constexpr quint64 FsAbi1 = (1ULL << 13) - 1;
constexpr quint64 FsRefer = 1ULL << 13;
constexpr quint64 FsTruncate = 1ULL << 14;
constexpr quint64 FsIoctlDev = 1ULL << 15;
constexpr quint64 NetBindTcp = 1ULL << 0;
constexpr quint64 NetConnectTcp = 1ULL << 1;
constexpr quint64 ScopeAbstractUnixSocket = 1ULL << 0;
constexpr quint64 ScopeSignal = 1ULL << 1;

long createRuleset(const RulesetAttr *attr, size_t size, unsigned flags)
{
    return syscall(SYS_landlock_create_ruleset, attr, size, flags);
}

// Read-only beneath path, as far as what it is (a folder or a file) allows.
void allowReading(int ruleset, const QByteArray &path, quint64 handled)
{
    const int fd = open(path.constData(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat file{};
    PathBeneathAttr rule;
    rule.parentFd = fd;
    if (fstat(fd, &file) == 0) {
        rule.allowedAccess = (S_ISDIR(file.st_mode) ? FsReadFile | FsReadDir : FsReadFile) & handled;
        syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0U);
    }
    close(fd);
}

QByteArray environmentOr(const char *name, const QString &fallback)
{
    const QByteArray value = qgetenv(name);
    return value.startsWith('/') ? value : QFile::encodeName(fallback);
}

// What the helper reads after it has started: plugins and the libraries they
// pull in, fonts fontconfig finds, its configuration and caches, poppler's
// character maps and fonts.
QList<QByteArray> readable()
{
    const QString home = QDir::homePath();
    const QByteArray cache = environmentOr("XDG_CACHE_HOME", home + QStringLiteral("/.cache"));
    const QByteArray data = environmentOr("XDG_DATA_HOME", home + QStringLiteral("/.local/share"));
    QList<QByteArray> paths{
        "/usr/lib", "/lib", "/lib64", "/usr/lib64", "/usr/local/lib", "/etc/ld.so.cache",
        "/usr/share/fonts", "/usr/local/share/fonts", "/etc/fonts", "/usr/share/fontconfig",
        "/var/cache/fontconfig", "/usr/share/poppler",
        cache + "/fontconfig", data + "/fonts",
        QFile::encodeName(home + QStringLiteral("/.fonts")),
        QFile::encodeName(home + QStringLiteral("/.fontconfig")),
        QFile::encodeName(QLibraryInfo::location(QLibraryInfo::LibrariesPath)),
        QFile::encodeName(QLibraryInfo::location(QLibraryInfo::PluginsPath)),
    };
    if (QCoreApplication::instance()) {
        paths.append(QFile::encodeName(QCoreApplication::applicationDirPath()));
        for (const QString &folder : QCoreApplication::libraryPaths())
            paths.append(QFile::encodeName(folder));
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer reads its own memory map when it reports.
    paths.append("/proc/self");
#endif
    return paths;
}

} // namespace

QByteArray helperPath()
{
    {
        TestPath &named = testPath();
        const std::lock_guard<std::mutex> lock(named.mutex);
        if (!named.path.isEmpty())
            return named.path;
    }
    if (!QCoreApplication::instance())
        return QByteArray();
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kHelperName);
    return QFileInfo(beside).isExecutable() ? QFile::encodeName(beside) : QByteArray();
}

void useHelperForTests(const QByteArray &path)
{
    TestPath &named = testPath();
    const std::lock_guard<std::mutex> lock(named.mutex);
    named.path = path;
}

pid_t spawn(int socket)
{
    static std::atomic<bool> said{false};
    const QByteArray path = helperPath();
    const pid_t pid = path.isEmpty() ? -1 : spawner().spawn(path, socket);
    // A missing helper fails every picture of the session the same way.
    if (pid < 0 && !said.exchange(true))
        qWarning().noquote() << "[DecodeService] 无法启动解码进程:"
                             << (path.isEmpty() ? QString::fromLatin1(kHelperName) : QFile::decodeName(path));
    return pid;
}

void holdNothing(int argc, char **argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The program may have died before the line above: then this process
    // has another parent already.
    if (argc > 1 && getppid() != pid_t(atoll(argv[1])))
        _exit(0);
    if (fcntl(STDERR_FILENO, F_GETFD) < 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0 && null != STDERR_FILENO) {
            dup2(null, STDERR_FILENO);
            close(null);
        }
    }
    dup2(STDERR_FILENO, STDOUT_FILENO);
    closeFrom(STDERR_FILENO + 1);
}

int landlockAbi()
{
    const long abi = createRuleset(nullptr, 0, kCreateRulesetVersion);
    return abi > 0 ? int(abi) : 0;
}

Restriction restrict()
{
    const int abi = landlockAbi();
    if (abi <= 0)
        return Restriction::Unavailable;
    RulesetAttr attr;
    size_t size = sizeof attr.handledAccessFs;
    attr.handledAccessFs = FsAbi1 | (abi >= 2 ? FsRefer : 0) | (abi >= 3 ? FsTruncate : 0)
        | (abi >= 5 ? FsIoctlDev : 0);
    if (abi >= 4) {
        // Handled and never allowed: no TCP port can be bound or reached.
        attr.handledAccessNet = NetBindTcp | NetConnectTcp;
        size = offsetof(RulesetAttr, scoped);
    }
    if (abi >= 6) {
        attr.scoped = ScopeAbstractUnixSocket | ScopeSignal;
        size = sizeof attr;
    }
    const int ruleset = int(createRuleset(&attr, size, 0));
    if (ruleset < 0)
        return Restriction::Failed;
    for (const QByteArray &path : readable())
        allowReading(ruleset, path, attr.handledAccessFs);
    const bool applied = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && syscall(SYS_landlock_restrict_self, ruleset, 0U) == 0;
    close(ruleset);
    return applied ? Restriction::Applied : Restriction::Failed;
}

}
