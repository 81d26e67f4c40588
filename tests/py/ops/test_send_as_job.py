"""The send from the interface as the host's render job, against recording fakes: one table of
how the job ends and what the user is left with (the report, the bridge, what the job object is
asked to take back), and the preference, handlers and timer given back on every way."""

import types

import pytest

from ops_fakes import Layout, Operator, Props, Timers, context, scene, sparse_file

READY = ({"INFO"}, "素材已就绪，请在浏览器中完成导入")
STOPPED = ({"WARNING"}, "渲染已取消，未发送任何素材")
BUSY = ({"ERROR"}, "已有素材正在渲染，请等它完成，或按 Esc 停止")
NOT_WRITTEN = "渲染未能写出文件，请检查磁盘空间（/tmp）"
CUT = "生成的文件不完整，磁盘可能已满（/tmp）"


class Job:
    """render's job object: records what it is asked to do; `outcome` is what finish or stop
    raise (an exception) or return."""

    def __init__(self, path):
        self.scene = types.SimpleNamespace(render=types.SimpleNamespace(use_lock_interface=False))
        self.render_kwargs, self.frames, self.path = {"animation": True}, 48, path
        self.calls, self.error = [], None

    def _call(self, name, value=None):
        self.calls.append(name)
        if self.error is not None and name != "abandon":
            raise self.error
        return value

    def finish(self):
        return self._call("finish", (self.path, {"truncated": False}))

    def stop(self):
        return self._call("stop")

    def abandon(self):
        return self._call("abandon")


class Host:
    """bpy as the job sees it: the render operator, the job query, the handler lists, the
    timers and the preference."""

    def __init__(self):
        self.running, self.started = False, []
        lists = ("render_write", "render_complete", "render_cancel")
        self.app = types.SimpleNamespace(
            handlers=types.SimpleNamespace(**{n: [] for n in lists}), timers=Timers(),
            is_job_running=lambda kind: self.running)
        self.ops = types.SimpleNamespace(render=types.SimpleNamespace(render=self._render))
        self.context = types.SimpleNamespace(window_manager=types.SimpleNamespace(windows=[]))
        self.path = types.SimpleNamespace(abspath=lambda p: p)

    def _render(self, mode, **kwargs):
        self.started.append((mode, kwargs))
        self.running = True
        return {"RUNNING_MODAL"}

    def fire(self, name, times=1):
        for _ in range(times):
            for fn in list(getattr(self.app.handlers, name)):
                fn(None)


class WindowManager:
    def __init__(self):
        self.modal, self.timers = [], []

    def modal_handler_add(self, op):
        self.modal.append(op)

    def event_timer_add(self, step, window=None):
        self.timers.append(step)
        return step

    def event_timer_remove(self, timer):
        self.timers.remove(timer)


@pytest.fixture
def job_env(ops_module, fakes, monkeypatch, tmp_path):
    env = types.SimpleNamespace(host=Host(), wm=WindowManager(),
                                job=Job(sparse_file(tmp_path / "lumo_stage_v.mp4", 10)))
    env.view = types.SimpleNamespace(render_display_type="WINDOW")
    monkeypatch.setattr(ops_module, "bpy", env.host)
    monkeypatch.setattr(ops_module, "_job", None)
    for name in ("stage_animation", "stage_turntable", "stage_local_video"):
        setattr(fakes.render, name, lambda *args: env.job)
    env.props = Props(source="ANIMATION")
    env.context = context(scene(env.props))
    env.context.window = object()
    env.context.window_manager = env.wm
    env.context.preferences = types.SimpleNamespace(view=env.view)
    env.op = Operator()
    yield env
    assert env.host.app.handlers.render_write == []  # nothing left behind on any way


def start(ops, env):
    assert ops.invoke_send(env.op, env.context, None) == {"RUNNING_MODAL"}
    assert env.host.started == [("INVOKE_DEFAULT", {"animation": True})]
    assert env.job.scene.render.use_lock_interface is True
    assert env.view.render_display_type == "NONE"
    assert env.wm.modal == [env.op] and env.wm.timers == [0.1]


def timer(ops, env):
    return ops.modal_send(env.op, env.context, types.SimpleNamespace(type="TIMER"))


def given_back(ops, env):
    handlers = env.host.app.handlers
    return (ops._job is None and env.view.render_display_type == "WINDOW" and env.wm.timers == []
            and handlers.render_write == handlers.render_complete == handlers.render_cancel == [])


# The handler that fired (None: the job ended without one), what finish or stop raise, and
# then the result, the reports, what the job was asked to do and whether a bridge started.
ENDS = [
    ("render_complete", None, {"FINISHED"}, [READY], ["finish"], True),
    ("render_cancel", None, {"CANCELLED"}, [STOPPED], ["stop"], False),
    ("render_cancel", RuntimeError(NOT_WRITTEN), {"CANCELLED"},
     [({"ERROR"}, "生成素材失败：" + NOT_WRITTEN)], ["stop"], False),
    ("render_complete", RuntimeError(CUT), {"CANCELLED"}, [({"ERROR"}, "生成素材失败：" + CUT)],
     ["finish"], False),
    (None, RuntimeError(CUT), {"CANCELLED"}, [({"ERROR"}, "生成素材失败：" + CUT)], ["finish"],
     False),
]


@pytest.mark.parametrize("handler, error, result, reports, calls, served", ENDS)
def test_how_the_job_ends(ops_module, job_env, handler, error, result, reports, calls, served):
    env = job_env
    start(ops_module, env)
    env.host.fire("render_write", 3)
    layout = Layout()
    ops_module.draw_panel(types.SimpleNamespace(layout=layout), env.context)
    assert layout.tree()[-1] == ("column", {"align": True}, [
        ("label", {"text": "渲染中 3/48 帧", "icon": "RENDER_ANIMATION"}),
        ("label", {"text": "按 Esc 停止渲染", "icon": "CANCEL"})])  # in place of the send button
    assert timer(ops_module, env) == {"PASS_THROUGH"}  # still rendering
    assert ops_module.invoke_send(Operator(), env.context, None) == {"CANCELLED"}
    second = Operator()
    assert ops_module.execute_send(second, env.context) == {"CANCELLED"}
    assert second.reports == [BUSY]
    env.job.error = error
    if handler:
        env.host.fire(handler)
    env.host.running = False
    assert timer(ops_module, env) == result
    assert env.op.reports == reports and env.job.calls == calls
    assert len(ops_module._bridges) == served
    assert given_back(ops_module, env)


def test_the_host_drops_the_waiting_operator(ops_module, job_env):
    # Another file opens or Blender quits: the host stops the job, then cancels the operator.
    env = job_env
    start(ops_module, env)
    ops_module.render_job_file_closing()
    assert env.job.calls == []  # still rendering: the host stops it before the cancel
    env.host.running = False
    ops_module.cancel_send(env.op, env.context)
    assert env.job.calls == ["abandon"] and env.op.reports == [] and given_back(ops_module, env)
    assert timer(ops_module, env) == {"CANCELLED"}


def test_a_job_outliving_its_file_is_forgotten_untouched(ops_module, job_env):
    env = job_env
    start(ops_module, env)
    ops_module.render_job_file_opened()
    assert env.job.calls == [] and env.wm.timers == [0.1]  # the old file's timer is gone with it
    assert ops_module._job is None and env.view.render_display_type == "WINDOW"


def test_add_on_disabled_mid_render_takes_back_once_it_is_over(ops_module, job_env):
    env = job_env
    start(ops_module, env)
    ops_module.release_render_job()
    tick = ops_module._render_job_tick
    assert tick() == 0.1 and env.job.calls == []
    env.host.running = False
    assert tick() is None
    assert env.job.calls == ["abandon"] and given_back(ops_module, env)


@pytest.mark.parametrize("case", ["no window", "snapshot", "host renders", "host renders, no window",
                                  "stage fails", "host refuses"])
def test_sends_that_do_not_become_a_job(ops_module, job_env, fakes, case):
    env = job_env
    if case == "no window":
        env.context.window = None
    elif case == "snapshot":
        env.props.source = "SNAPSHOT"
    elif case.startswith("host renders"):
        env.host.running = True
        if case.endswith("no window"):
            env.context.window = None
    elif case == "stage fails":
        fakes.render.stage_animation = lambda *a: (_ for _ in ()).throw(ValueError("坏的设置"))
    else:
        env.host.ops.render.render = lambda mode, **kw: {"CANCELLED"}
    fakes.render.error = RuntimeError("同步渲染")  # a send rendered at once ends here
    result = ops_module.invoke_send(env.op, env.context, None)
    assert result == {"CANCELLED"} and ops_module._job is None
    [(level, text)] = env.op.reports
    assert text == {"no window": "生成素材失败：同步渲染", "snapshot": "生成素材失败：同步渲染",
                    "host renders": "Blender 正在渲染，请等当前渲染结束后再发送",
                    "host renders, no window": "Blender 正在渲染，请等当前渲染结束后再发送",
                    "stage fails": "生成素材失败：坏的设置",
                    "host refuses": "生成素材失败：Blender 未能开始渲染，请稍后重试"}[case]
    assert env.job.calls == (["abandon"] if case == "host refuses" else [])
    assert given_back(ops_module, env) and env.wm.modal == []

