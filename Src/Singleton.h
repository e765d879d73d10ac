#pragma once

#include <cstdlib>
#include <stdexcept>

namespace CorvaneCommandLineScanner
{
// A process-wide object created on first use and destroyed at exit. An access after its
// destruction (from another object's destructor at exit) throws std::logic_error
// "Dead Reference Detected" once; the access after that creates a fresh instance.
template <typename T> class Singleton
{
public:
    static T& Instance()
    {
        if (!instance)
        {
            if (destroyed)
            {
                destroyed = false;
                throw std::logic_error("Dead Reference Detected");
            }
            instance = new T();
            std::atexit(&Destroy);
        }
        return *instance;
    }

private:
    static void Destroy()
    {
        delete instance;
        instance = nullptr;
        destroyed = true;
    }

    static inline T* instance = nullptr;
    static inline bool destroyed = false;
};
} // namespace CorvaneCommandLineScanner
