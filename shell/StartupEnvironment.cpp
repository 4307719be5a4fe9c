#include "shell/StartupEnvironment.h"

#include "base/UniqueFd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>

#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
const char RuntimePrefix[] = ".quorvex-runtime-";

// Connects to the X server the way Qt's xcb plugin will, authorisation included.
bool x11Answers()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
    void *xcb = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!xcb)
        return false;
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool answers = false;
    if (connect && hasError && disconnect) {
        int screen = 0;
        void *connection = connect(nullptr, &screen);
        answers = connection && hasError(connection) == 0;
        if (connection)
            disconnect(connection);
    }
    return answers;
}

bool waylandAnswers()
{
    const QByteArray name = qgetenv("WAYLAND_DISPLAY");
    if (name.isEmpty())
        return false;
    QByteArray path = name;
    if (!name.startsWith('/')) {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        if (runtime.isEmpty())
            return false;
        path = runtime + '/' + name;
    }
    sockaddr_un address{};
    if (size_t(path.size()) >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd && ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
}

bool havePlugin(const QString &name)
{
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    return !platforms.entryList({QStringLiteral("libq") + name + QStringLiteral("*.so")}, QDir::Files).isEmpty();
}

QByteArray programFolder()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0)
        return {};
    QByteArray path(buffer, n);
    return path.left(path.lastIndexOf('/'));
}
} // namespace

bool StartupEnvironment::screenUsable()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty()) {
        // "name:options", or several names to try in turn.
        const QByteArray first = platform.split(';').first().split(':').first();
        if (first == "xcb")
            return x11Answers();
        if (first.startsWith("wayland"))
            return waylandAnswers();
        return true;
    }
    if (x11Answers())
        return true;
    if (waylandAnswers() && havePlugin(QStringLiteral("wayland"))) {
        qputenv("QT_QPA_PLATFORM", "wayland");
        return true;
    }
    return false;
}

QString StartupEnvironment::provideRuntimeFolder()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return {};
    // The session's own folder, where one is left running for this user.
    const QByteArray session = "/run/user/" + QByteArray::number(::geteuid());
    struct stat st;
    if (::stat(session.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
        && (st.st_mode & 0777) == 0700) {
        qputenv("XDG_RUNTIME_DIR", session);
        return {};
    }
    const QByteArray folder = programFolder();
    if (folder.isEmpty())
        return {};
    QByteArray name = folder + '/' + RuntimePrefix + "XXXXXX";
    if (!::mkdtemp(name.data()))
        return {};
    qputenv("XDG_RUNTIME_DIR", name);
    return QFile::decodeName(name);
}

void StartupEnvironment::removeRuntimeFolder(const QString &folder)
{
    if (folder.isEmpty())
        return;
    QDir(folder).removeRecursively();
    // Whatever asks for it later gets Qt's own answer, and programs we start see the
    // environment they were given.
    qunsetenv("XDG_RUNTIME_DIR");
}

void StartupEnvironment::removeRuntimeLeftovers(const QString &programDir)
{
    const QDir dir(programDir);
    const QStringList names = dir.entryList({QLatin1String(RuntimePrefix) + u'*'},
                                            QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        QDir(dir.filePath(name)).removeRecursively();
}
