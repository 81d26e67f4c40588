"""Registration layer: declares the operator, the panel and the scene properties."""


def register():
    pass


def unregister():
    pass
