#pragma once
// The open devices of one FTDI backend, by handle. A call holds its device
// through a CUse for as long as it runs; Remove marks the handle closing,
// wakes the device and waits for every call in progress to return, so a
// device is never released under a running call.
#include "link/FtdiBackend.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

template <class Device> class CFtdiHandleTable {
    struct Entry {
        std::shared_ptr<Device> device;
        int busy = 0;
        bool closing = false;
    };

public:
    // One call's hold on a device; empty when the handle is unknown or closing.
    class CUse {
    public:
        CUse() = default;
        CUse(CFtdiHandleTable* table, std::shared_ptr<Entry> entry)
            : m_pTable(table), m_entry(std::move(entry))
        {
        }
        CUse(const CUse&) = delete;
        CUse& operator=(const CUse&) = delete;
        ~CUse()
        {
            if (m_entry)
                m_pTable->Release(*m_entry);
        }
        explicit operator bool() const { return m_entry != nullptr; }
        Device* operator->() const { return m_entry->device.get(); }
        Device& operator*() const { return *m_entry->device; }

    private:
        CFtdiHandleTable* m_pTable = nullptr;
        std::shared_ptr<Entry> m_entry;
    };

    FtdiHandle Add(std::unique_ptr<Device> device)
    {
        std::lock_guard lock(m_mutex);
        const FtdiHandle handle = ++m_nLastHandle;
        auto entry = std::make_shared<Entry>();
        entry->device = std::move(device);
        m_entries.emplace(handle, std::move(entry));
        return handle;
    }

    CUse Acquire(FtdiHandle handle)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_entries.find(handle);
        if (it == m_entries.end() || it->second->closing)
            return CUse();
        ++it->second->busy;
        return CUse(this, it->second);
    }

    // Takes the device out of the table once no call uses it; wake(device)
    // runs first so a waiting call can notice. nullptr when the handle is
    // unknown or another thread is closing it.
    template <class WakeFn> std::shared_ptr<Device> Remove(FtdiHandle handle, WakeFn wake)
    {
        std::shared_ptr<Entry> entry;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_entries.find(handle);
            if (it == m_entries.end() || it->second->closing)
                return nullptr;
            entry = it->second;
            entry->closing = true;
        }
        wake(*entry->device);
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [&] { return entry->busy == 0; });
        m_entries.erase(handle);
        return std::move(entry->device);
    }

private:
    void Release(Entry& entry)
    {
        {
            std::lock_guard lock(m_mutex);
            --entry.busy;
        }
        m_idle.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::map<FtdiHandle, std::shared_ptr<Entry>> m_entries;
    FtdiHandle m_nLastHandle = FTDI_NO_HANDLE;
};
