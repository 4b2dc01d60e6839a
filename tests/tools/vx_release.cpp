// vx_release: the image-server side of the end-to-end runs.
//
//   vx_release generate --updater <exe> --old-root <dir> --new-root <dir>
//                       [--new-updater <exe>] [--old-version <N>] [--big-mb <M>]
//       writes <dir>/Voxtrel 3 Client.app of version N (default 1) and N+1, with <exe> as
//       "Contents/SharedSupport/update.app/Contents/MacOS/update".
//
//   vx_release build --old <bundle> --new <bundle> --version <N+1> --out <dir>
//                    [--old-updater <update.app>] [--new-updater <update.app>] [--jobs <J>]
//       writes the served tree <dir>/<N+1>/... (signed product lists, files, patches).
//
//   vx_release banner --reply "<image url>,<click url>" --port-file <file>
//       answers banner lookups on 127.0.0.1 (port written to <file>) until it is stopped.

#include "common/bannerresponder.h"
#include "common/bundlegenerator.h"
#include "common/releasebuilder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QTextStream>

namespace
{
int generate(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes two versions of the client bundle."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("updater"), QStringLiteral("Updater program put into both versions."), QStringLiteral("exe")},
        {QStringLiteral("new-updater"), QStringLiteral("Updater program of version N+1, if different."), QStringLiteral("exe")},
        {QStringLiteral("old-root"), QStringLiteral("Folder that receives version N."), QStringLiteral("dir")},
        {QStringLiteral("new-root"), QStringLiteral("Folder that receives version N+1."), QStringLiteral("dir")},
        {QStringLiteral("old-version"), QStringLiteral("Version number N (default 1)."), QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("big-mb"), QStringLiteral("Adds large files of about M MiB in all."), QStringLiteral("M"), QStringLiteral("0")},
    });
    parser.process(arguments);
    BundleGenerator::Options options;
    options.updaterBinary = parser.value(QStringLiteral("updater"));
    options.newUpdaterBinary = parser.value(QStringLiteral("new-updater"));
    bool versionOk = false;
    bool bigOk = false;
    options.oldVersion = parser.value(QStringLiteral("old-version")).toInt(&versionOk);
    options.bigMegabytes = parser.value(QStringLiteral("big-mb")).toInt(&bigOk);
    const QString oldRoot = parser.value(QStringLiteral("old-root"));
    const QString newRoot = parser.value(QStringLiteral("new-root"));
    QTextStream err(stderr);
    if (options.updaterBinary.isEmpty() || oldRoot.isEmpty() || newRoot.isEmpty() || !versionOk
        || options.oldVersion < 0 || !bigOk || options.bigMegabytes < 0) {
        err << "vx_release generate: --updater, --old-root and --new-root are needed\n";
        return 2;
    }
    QString error;
    if (!BundleGenerator::generate(options, oldRoot, newRoot, &error)) {
        err << "vx_release generate: " << error << "\n";
        return 1;
    }
    QTextStream(stdout) << "version " << options.oldVersion << ": " << oldRoot << "/"
                        << BundleGenerator::bundleName() << "\nversion " << options.oldVersion + 1
                        << ": " << newRoot << "/" << BundleGenerator::bundleName() << "\n";
    return 0;
}

int build(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes the served tree of one version."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("old"), QStringLiteral("Client bundle of version N."), QStringLiteral("bundle")},
        {QStringLiteral("new"), QStringLiteral("Client bundle of version N+1."), QStringLiteral("bundle")},
        {QStringLiteral("old-updater"), QStringLiteral("update.app of version N (default: inside --old)."), QStringLiteral("app")},
        {QStringLiteral("new-updater"), QStringLiteral("update.app of version N+1 (default: inside --new)."), QStringLiteral("app")},
        {QStringLiteral("version"), QStringLiteral("Version number N+1."), QStringLiteral("N")},
        {QStringLiteral("out"), QStringLiteral("Root of the served tree."), QStringLiteral("dir")},
        {QStringLiteral("jobs"), QStringLiteral("Files packed at the same time (default 2)."), QStringLiteral("J"), QStringLiteral("2")},
    });
    parser.process(arguments);
    ReleaseBuilder::Options options;
    options.oldBundle = parser.value(QStringLiteral("old"));
    options.newBundle = parser.value(QStringLiteral("new"));
    options.oldUpdater = parser.value(QStringLiteral("old-updater"));
    options.newUpdater = parser.value(QStringLiteral("new-updater"));
    options.outDir = parser.value(QStringLiteral("out"));
    bool versionOk = false;
    bool jobsOk = false;
    options.version = parser.value(QStringLiteral("version")).toInt(&versionOk);
    options.jobs = parser.value(QStringLiteral("jobs")).toInt(&jobsOk);
    QTextStream err(stderr);
    if (options.oldBundle.isEmpty() || options.newBundle.isEmpty() || options.outDir.isEmpty()
        || !versionOk || !jobsOk) {
        err << "vx_release build: --old, --new, --version and --out are needed\n";
        return 2;
    }
    ReleaseBuilder builder(options);
    if (!builder.build()) {
        err << "vx_release build: " << builder.error() << "\n";
        return 1;
    }
    QMap<QString, int> counts;
    for (const ReleaseBuilder::Entry& entry : builder.entries())
        ++counts[entry.productIni + QStringLiteral(" ") + ReleaseBuilder::kindName(entry.kind)];
    QTextStream out(stdout);
    out << builder.versionDir() << "\n";
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        out << "  " << it.key() << ": " << it.value() << "\n";
    return 0;
}
} // namespace

int banner(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Answers banner lookups on 127.0.0.1."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("reply"), QStringLiteral("The reply: image URL, comma, click URL."), QStringLiteral("text")},
        {QStringLiteral("port-file"), QStringLiteral("File that receives the UDP port."), QStringLiteral("file")},
    });
    parser.process(arguments);
    static BannerResponder responder;
    responder.setReply(parser.value(QStringLiteral("reply")).toUtf8());
    QFile portFile(parser.value(QStringLiteral("port-file")));
    if (!portFile.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || portFile.write(QByteArray::number(responder.port())) <= 0) {
        QTextStream(stderr) << "vx_release banner: cannot write the port file\n";
        return 1;
    }
    portFile.close();
    return QCoreApplication::exec();
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    const QString mode = arguments.size() > 1 ? arguments.takeAt(1) : QString();
    if (mode == QLatin1String("generate"))
        return generate(arguments);
    if (mode == QLatin1String("build"))
        return build(arguments);
    if (mode == QLatin1String("banner"))
        return banner(arguments);
    QTextStream(stderr) << "usage: vx_release generate|build|banner [--help]\n";
    return 2;
}
