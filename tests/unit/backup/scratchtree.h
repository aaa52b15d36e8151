#pragma once

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

bool makeDirectories(const QString &path);
bool writeFile(const QString &path, const QByteArray &content);
bool makeSymlink(const QString &target, const QString &linkPath);
bool makeFifo(const QString &path);

bool mountTmpfs(const QString &path);
bool bindMount(const QString &source, const QString &target);
// A mount whose target is exactly path, as this process's mount table says.
bool isMountTarget(const QString &path);
// Detaches every mount at root or below it, deepest first.
void detachMountsBelow(const QString &root);

// Every entry below root, without following a link: relative path, type and
// (for files) content, or (for links) target. Two equal listings mean the
// tree is unchanged.
QStringList listing(const QString &root);

// Creates `depth` directories nested inside each other below the directory
// at dirFd, each named `name`, with a file "leaf" in the deepest one.
bool makeNestedChain(int dirFd, int depth, const char *name);

// Removes root and everything below it through descriptors, whatever its
// depth; for cleaning up after tests.
void removeTree(const QString &root);

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
