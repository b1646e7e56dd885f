#include "sim_endings.h"

void Sim_endings::add(const Sim_ending& ending)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_endings.push_back(ending);
}

void Sim_endings::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_endings.clear();
}

Sim_ending Sim_endings::take(Sim_call call, Sim_driver driver, uint32_t devid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_endings.begin(); it != m_endings.end(); ++it)
        if (it->call == call && (it->driver == Sim_driver::any || it->driver == driver) &&
            (it->devid == 0xFFFFFFFF || it->devid == devid))
        {
            Sim_ending found = *it;
            if (--it->times == 0)
                m_endings.erase(it);
            m_applied += found.end != Sim_end::as_usual;
            return found;
        }
    return {call, Sim_end::as_usual};
}

uint64_t Sim_endings::applied()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_applied;
}
