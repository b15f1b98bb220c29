// The real file system with the program folder moved to a test folder, and a
// hook after every operation that changes the disk.
#pragma once

#include <memory>
#include <string>

#include "fs.h"

namespace velloran::test {

class FolderFs : public FileSystem {
public:
    explicit FolderFs(std::string folder) : folder_(std::move(folder)) {}

    std::string programFolder() const override { return folder_; }
    char separator() const override { return real_->separator(); }
    bool isPlainFile(const std::string& p) override { return real_->isPlainFile(p); }
    std::string findEntry(const std::string& f, const std::string& n) override { return real_->findEntry(f, n); }
    bool liesOutside(const std::string& r, const std::string& p) override { return real_->liesOutside(r, p); }
    void makeFolder(const std::string& p) override {
        real_->makeFolder(p);
        changed();
    }
    std::unique_ptr<OutputFile> create(const std::string& t, Durability d) override {
        auto file = std::make_unique<File>(*this, real_->create(t, d));
        changed();
        return file;
    }
    std::unique_ptr<ResumableFile> openResumable(const std::string& t, Durability d) override {
        auto real = real_->openResumable(t, d);
        if (!real) return nullptr;
        auto file = std::make_unique<Resumable>(*this, std::move(real));
        changed();
        return file;
    }
    void remove(const std::string& p) override {
        real_->remove(p);
        changed();
    }
    void syncAll() override { real_->syncAll(); }
    std::optional<FileStamp> stamp(const std::string& p) override { return real_->stamp(p); }
    std::optional<std::string> readFile(const std::string& p, std::size_t cap) override {
        return real_->readFile(p, cap);
    }
    std::vector<std::string> list(const std::string& f) override { return real_->list(f); }

protected:
    // Runs after each make-folder, create, write, commit and remove, and
    // after each opening, write, restart and commit of a resumable file.
    virtual void changed() {}

private:
    class File : public OutputFile {
    public:
        File(FolderFs& owner, std::unique_ptr<OutputFile> real) : owner_(owner), real_(std::move(real)) {}
        void write(const char* d, std::size_t n) override {
            real_->write(d, n);
            owner_.changed();
        }
        void commit() override {
            real_->commit();
            owner_.changed();
        }

    private:
        FolderFs& owner_;
        std::unique_ptr<OutputFile> real_;
    };

    class Resumable : public ResumableFile {
    public:
        Resumable(FolderFs& owner, std::unique_ptr<ResumableFile> real) : owner_(owner), real_(std::move(real)) {}
        std::uint64_t size() const override { return real_->size(); }
        void restart() override {
            real_->restart();
            owner_.changed();
        }
        void readKept(const std::function<void(const char*, std::size_t)>& sink) override { real_->readKept(sink); }
        void write(const char* d, std::size_t n) override {
            real_->write(d, n);
            owner_.changed();
        }
        void commit() override {
            real_->commit();
            owner_.changed();
        }

    private:
        FolderFs& owner_;
        std::unique_ptr<ResumableFile> real_;
    };

    std::string folder_;
    std::unique_ptr<FileSystem> real_ = makeFileSystem();
};

}  // namespace velloran::test
