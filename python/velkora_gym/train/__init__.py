"""The training adapters: the native vector environment under other libraries' loops.

- ``sb3``: Stable-Baselines3's ``VecEnv`` (also ``velkora_gym.sb3``);
- ``puffer``: PufferLib's vector layer and trainer (also ``velkora_gym.puffer``);
- ``rllib``: RLlib's env runner, module and configurations (also ``velkora_gym.rllib``);
- ``rllib_fragment``: the rollout fragments ``rllib`` builds in arrays.

Each needs its library (``pip install velkora[train]``, ``[puffer]``, ``[rllib]``).
"""
