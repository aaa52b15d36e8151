#pragma once

#include "ownedfd.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdio>

// Helpers for tests that build, mount and remove trees inside their own
// temporary directory.
namespace ScratchTree {

// A QTemporaryDir template on the sandbox's scratch file system when there
// is one, else in the usual temporary directory.
QString temporaryTemplate();

// Gives this process a mount namespace of its own with private propagation,
// so no mount or unmount of the test can reach the machine's table. Call it
// first thing in main(), while the process has a single thread.
bool enterPrivateMountNamespace();

// Makes entries below root, each with the directories it needs:
// "dir/" a directory, "name=text" a file holding text, "name->target" a
// symbolic link, "name|" a fifo.
bool build(const QString &root, const QStringList &entries);

bool mountTmpfs(const QString &path);
bool bindMount(const QString &source, const QString &target);
// Whether path itself (a last link not followed) is the root of a mount.
bool isMountTarget(const QString &path);
// Detaches the mount at path with every mount below it.
void detachMount(const QString &path);

// Every entry below root, without following a link: relative path, type and
// (for files) content, or (for links) target. Two equal listings mean the
// tree is unchanged.
QStringList listing(const QString &root);

// Creates `depth` directories nested inside each other below the directory
// at dirFd, each named `name`, with a file "leaf" in the deepest one.
bool makeNestedChain(int dirFd, int depth, const char *name);

// Makes directories below the directory at dirFd, whose path is basePath,
// until the innermost one's path is exactly `length` bytes long; returns that
// directory (invalid on failure) and its path in `path`.
OwnedFd makeDirectoryOfLength(int dirFd, const QByteArray &basePath, int length, QByteArray &path);

} // namespace ScratchTree

// main() for tests that mount: the private mount namespace comes first, before
// any thread exists.
#define ARKVANE_MOUNTING_TEST_MAIN(TestClass)                                                     \
    int main(int argc, char *argv[])                                                              \
    {                                                                                             \
        if (!ScratchTree::enterPrivateMountNamespace()) {                                         \
            std::fputs("cannot get a private mount namespace (root needed)\n", stderr);           \
            return 1;                                                                             \
        }                                                                                         \
        QCoreApplication app(argc, argv);                                                         \
        TestClass test;                                                                           \
        return QTest::qExec(&test, argc, argv);                                                   \
    }
