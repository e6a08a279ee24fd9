// Nothing lost, whatever the disk does: the window's Save and Load against a full disk, a
// read-only folder, a folder that takes no new file, a file that became a folder, links,
// and names in other scripts. The old file stays byte for byte on every failure.

#include "window_rig.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QString kSaveError = QStringLiteral("  Error saving pattern  ");
const QString kLoadError = QStringLiteral("  There was an error loading the file.  ");

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every entry of a folder, hidden ones too: a failed save leaves nothing half-written.
QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// A small file system of the test's own (tmpfs), which can fill up and turn read-only.
// Mounting needs root; elsewhere the tests that need it say so and skip.
class ScratchDisk {
public:
    explicit ScratchDisk(int kilobytes) {
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0755";
        mounted_ = dir_.isValid() && ::mount("tambrel-test", path().toLocal8Bit().constData(),
                                             "tmpfs", 0, options.constData()) == 0;
    }
    ~ScratchDisk() {
        if (mounted_) {
            ::umount2(path().toLocal8Bit().constData(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }
    // Takes every free block but `leaveBytes`.
    bool fill(qint64 leaveBytes) const {
        QFile filler(file(QStringLiteral("filler")));
        if (!filler.open(QIODevice::WriteOnly)) {
            return false;
        }
        const QByteArray block(1024, 'f');
        while (QStorageInfo(path()).bytesAvailable() > leaveBytes) {
            if (filler.write(block) != block.size() || !filler.flush()) {
                break;
            }
        }
        return true;
    }
    bool makeReadOnly() const {
        return ::mount(nullptr, path().toLocal8Bit().constData(), nullptr, MS_REMOUNT | MS_RDONLY,
                       nullptr) == 0;
    }

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
};

// For a while, this thread may not override file permissions even as root: a folder's
// mode then refuses new files to it as it does to everyone else.
class NoPermissionOverride {
public:
    NoPermissionOverride() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        ok_ = ::syscall(SYS_capget, &header_, saved_) == 0;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
            lowered[cap / 32].effective &= ~(1U << (cap % 32));
        }
        ok_ = ok_ && ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~NoPermissionOverride() { ::syscall(SYS_capset, &header_, saved_); }
    bool ok() const { return ok_; }

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool ok_ = false;
};

const QByteArray kOldPattern = "4/4\r\n99\r\nTR1INFO:100+Cowbell\r\n";

} // namespace

class FilesTest : public QObject {
    Q_OBJECT
private slots:
    void fullDiskKeepsTheOldFile();
    void readOnlyFolderKeepsTheOldFile();
    void folderTakingNoNewFileStillSavesOverItsFile();
    void fileThatBecameAFolderIsNeitherLoadedNorLost();
    void linkIsFollowedAndKept();
    void namesWithSpacesAndOtherScriptsRoundTrip();
};

void FilesTest::fullDiskKeepsTheOldFile() {
    ScratchDisk disk(64);
    if (!disk.mounted()) {
        QSKIP("cannot mount a tmpfs here (needs root); the file-size limit test stands in");
    }
    const QString path = disk.file(QStringLiteral("song.qel"));
    QVERIFY(writeAll(path, kOldPattern));
    QVERIFY(disk.fill(0));
    WindowRig rig(0);
    rig.click("Tr1Label1");
    rig.window->nextSaveName = path;
    rig.click("SpeedButton1");
    QCOMPARE(rig.window->messages, QStringList{kSaveError});
    QCOMPARE(readAll(path), kOldPattern);
    QCOMPARE(entries(disk.path()), (QStringList{"filler", "song.qel"}));
}

void FilesTest::readOnlyFolderKeepsTheOldFile() {
    ScratchDisk disk(64);
    if (!disk.mounted()) {
        QSKIP("cannot mount a tmpfs here (needs root)");
    }
    const QString path = disk.file(QStringLiteral("song.qel"));
    QVERIFY(writeAll(path, kOldPattern));
    QVERIFY(disk.makeReadOnly());
    WindowRig rig(0);
    rig.window->nextSaveName = path;
    rig.click("SpeedButton1");
    rig.window->nextSaveName = disk.file(QStringLiteral("new.qel"));
    rig.click("SpeedButton1");
    QCOMPARE(rig.window->messages, (QStringList{kSaveError, kSaveError}));
    QCOMPARE(readAll(path), kOldPattern);
    QCOMPARE(entries(disk.path()), QStringList{"song.qel"});
}

void FilesTest::folderTakingNoNewFileStillSavesOverItsFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("song.qel"));
    QVERIFY(writeAll(path, kOldPattern));
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner |
                                                  QFile::ReadGroup | QFile::ExeGroup));
    WindowRig rig(0);
    rig.click("Tr2Label5");
    {
        NoPermissionOverride asAnyone;
        QVERIFY(asAnyone.ok());
        QVERIFY(!QFile(dir.filePath(QStringLiteral("probe"))).open(QIODevice::WriteOnly));
        rig.window->nextSaveName = path;
        rig.click("SpeedButton1");
    }
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(rig.window->messages.isEmpty());
    const QByteArray saved = readAll(path);
    QVERIFY(saved.startsWith("4/4\r\n120\r\nTR1INFO:100+Acoustic Bass Drum\r\n"));
    QCOMPARE(saved.count("\r\n"), 26);
    QCOMPARE(entries(dir.path()), QStringList{"song.qel"});
}

void FilesTest::fileThatBecameAFolderIsNeitherLoadedNorLost() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("song.qel"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("song.qel")));
    QVERIFY(writeAll(path + QStringLiteral("/inside"), "kept"));
    WindowRig rig(0);
    rig.click("Tr3Label3");
    rig.window->nextOpenName = path;
    rig.click("SpeedButton2");
    rig.window->nextSaveName = path;
    rig.click("SpeedButton1");
    QCOMPARE(rig.window->messages, (QStringList{kLoadError, kSaveError}));
    QVERIFY(rig.engine().grid().isOn(3, 3));
    QCOMPARE(readAll(path + QStringLiteral("/inside")), QByteArray("kept"));
}

void FilesTest::linkIsFollowedAndKept() {
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("real.qel"));
    const QString link = dir.filePath(QStringLiteral("link.qel"));
    WindowRig rig(0);
    rig.click("Tr4Label7");
    rig.window->nextSaveName = target;
    rig.click("SpeedButton1");
    QVERIFY(QFile::link(target, link));
    // Load follows the link to the pattern.
    WindowRig other(0);
    other.window->nextOpenName = link;
    other.click("SpeedButton2");
    QVERIFY(other.engine().grid().isOn(4, 7));
    // Save through the link replaces what it points at, as editors do; the link stays.
    other.click("Tr5Label9");
    other.window->nextSaveName = link;
    other.click("SpeedButton1");
    QVERIFY(other.window->messages.isEmpty());
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(entries(dir.path()), (QStringList{"link.qel", "real.qel"}));
    WindowRig third(0);
    third.window->nextOpenName = target;
    third.click("SpeedButton2");
    QVERIFY(third.engine().grid().isOn(4, 7));
    QVERIFY(third.engine().grid().isOn(5, 9));
}

void FilesTest::namesWithSpacesAndOtherScriptsRoundTrip() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Bossa für Übung – ドラム 1.qel"));
    WindowRig rig(0);
    rig.click("Tr6Label11");
    rig.window->nextSaveName = path;
    rig.click("SpeedButton1");
    QVERIFY(rig.window->messages.isEmpty());
    QVERIFY(QFileInfo::exists(path));
    WindowRig other(0);
    other.window->nextOpenName = path;
    other.click("SpeedButton2");
    QVERIFY(other.window->messages.isEmpty());
    QVERIFY(other.engine().grid().isOn(6, 11));
}

QTEST_MAIN(FilesTest)
#include "files_test.moc"
